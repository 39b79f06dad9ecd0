#pragma once

#include "device/CaptureDevice.h"
#include "device/simulated/SimulatedDeviceConfig.h"
#include "device/simulated/SimulatedSessionClock.h"

#include <memory>

#include <variant>

namespace qv {

// A simulated camera or microphone.
class SimulatedDevice final : public CaptureDevice {
public:
    // Inputs of devices that share `clock` pace their samples from the same session start.
    SimulatedDevice(SimulatedVideoDevice camera, std::shared_ptr<SimulatedSessionClock> clock);
    SimulatedDevice(SimulatedAudioDevice microphone, std::shared_ptr<SimulatedSessionClock> clock);

    MediaType mediaType() const override;
    const std::string& uniqueId() const override { return id_; }
    const std::string& localizedName() const override { return name_; }
    const std::vector<VideoFormat>& formats() const override { return formats_; }
    std::optional<VideoFormat> activeFormat() const override;
    double activeMinFrameDuration() const override;
    double activeMaxFrameDuration() const override;
    std::shared_ptr<CaptureInput> createInput() override;

private:
    std::variant<SimulatedVideoDevice, SimulatedAudioDevice> config_;
    std::shared_ptr<SimulatedSessionClock> clock_;
    std::string id_;
    std::string name_;
    std::vector<VideoFormat> formats_;
};

}  // namespace qv
