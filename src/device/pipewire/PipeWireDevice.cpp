#include "device/pipewire/PipeWireDevice.h"

#include "base/CaptureError.h"
#include "device/pipewire/PipeWireInput.h"

#include <cerrno>

namespace qv {

namespace {

VideoFormat videoFormat(const V4l2Format& format) {
    VideoFormat result{format.width, format.height, fourCharCode(format.pixelFormat), {}};
    for (const auto& range : format.ranges) result.frameRateRanges.push_back({range.minFps, range.maxFps});
    return result;
}

}  // namespace

PipeWireDevice::PipeWireDevice(PipeWireNode node, Connect connect)
    : node_(std::move(node)), connect_(std::move(connect)) {
    for (const auto& format : node_.formats) formats_.push_back(videoFormat(format));
    if (node_.active) {
        active_ = videoFormat(*node_.active);
        // The stream asks for the fastest rate of the format's first range.
        if (!node_.active->ranges.empty() && node_.active->ranges.front().maxFps > 0)
            frameDuration_ = 1.0 / node_.active->ranges.front().maxFps;
    }
}

std::shared_ptr<CaptureInput> PipeWireDevice::createInput() {
    auto connection = connect_();
    if (!connection) throw PlatformError("PipeWire", ECONNREFUSED, "connect");
    return std::make_shared<PipeWireInput>(shared_from_this(), std::move(connection), node_);
}

}  // namespace qv
