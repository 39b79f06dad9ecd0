#include "device/linux/V4l2Device.h"

#include "device/linux/V4l2Input.h"

namespace qv {

namespace {

VideoFormat videoFormat(const V4l2Format& format) {
    VideoFormat result;
    result.width = format.width;
    result.height = format.height;
    result.mediaSubType = fourCharCode(format.pixelFormat);
    for (const auto& range : format.ranges) result.frameRateRanges.push_back({range.minFps, range.maxFps});
    return result;
}

}  // namespace

V4l2Device::V4l2Device(DeviceIo& io, V4l2Camera camera) : io_(io), camera_(std::move(camera)) {
    for (const auto& format : camera_.formats) formats_.push_back(videoFormat(format));
    if (camera_.active.width > 0 && camera_.active.height > 0) active_ = videoFormat(camera_.active);
}

std::shared_ptr<CaptureInput> V4l2Device::createInput() {
    return std::make_shared<V4l2Input>(shared_from_this(), io_, camera_.node);
}

}  // namespace qv
