#pragma once

#include "device/CaptureDevice.h"
#include "device/linux/AlsaInventory.h"

namespace qv {

// An ALSA capture PCM as listed.
class AlsaDevice final : public CaptureDevice {
public:
    explicit AlsaDevice(AlsaMicrophone microphone) : microphone_(std::move(microphone)) {}

    MediaType mediaType() const override { return MediaType::audio; }
    const std::string& uniqueId() const override { return microphone_.uniqueId; }
    const std::string& localizedName() const override { return microphone_.name; }
    const std::vector<VideoFormat>& formats() const override { return noFormats_; }
    std::optional<VideoFormat> activeFormat() const override { return std::nullopt; }
    double activeMinFrameDuration() const override { return 0; }
    double activeMaxFrameDuration() const override { return 0; }
    // Opens the PCM (an AlsaInput). Throws PlatformError when it cannot be opened or set up.
    std::shared_ptr<CaptureInput> createInput() override;

private:
    AlsaMicrophone microphone_;
    std::vector<VideoFormat> noFormats_;
};

}  // namespace qv
