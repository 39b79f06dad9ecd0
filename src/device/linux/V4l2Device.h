#pragma once

#include "device/CaptureDevice.h"
#include "device/linux/DeviceIo.h"
#include "device/linux/V4l2Inventory.h"

namespace qv {

// A V4L2 camera as listed: its description is read once, at enumeration.
class V4l2Device final : public CaptureDevice {
public:
    V4l2Device(DeviceIo& io, V4l2Camera camera);

    MediaType mediaType() const override { return MediaType::video; }
    const std::string& uniqueId() const override { return camera_.uniqueId; }
    const std::string& localizedName() const override { return camera_.name; }
    const std::vector<VideoFormat>& formats() const override { return formats_; }
    std::optional<VideoFormat> activeFormat() const override { return active_; }
    double activeMinFrameDuration() const override { return camera_.frameDurationSeconds.value_or(0); }
    double activeMaxFrameDuration() const override { return camera_.frameDurationSeconds.value_or(0); }
    // Opens the node (a V4l2Input). Throws PlatformError when it cannot be opened or streamed.
    std::shared_ptr<CaptureInput> createInput() override;

private:
    DeviceIo& io_;
    V4l2Camera camera_;
    std::vector<VideoFormat> formats_;
    std::optional<VideoFormat> active_;
};

}  // namespace qv
