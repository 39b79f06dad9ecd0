#include "engine/VideoFormatRecord.h"

#include <cmath>
#include <cstddef>

namespace qv {

namespace {

constexpr std::size_t maxRanges = 8;

Json duration(double seconds) {
    if (std::isfinite(seconds) && seconds > 0) return seconds;
    return nullptr;
}

}  // namespace

Json videoFormatRecord(const CaptureDevice& device, double observedMono) {
    const std::optional<VideoFormat> format = device.activeFormat();
    Json ranges = Json::array();
    if (format) {
        for (std::size_t i = 0; i < format->frameRateRanges.size() && i < maxRanges; ++i) {
            const FrameRateRange& range = format->frameRateRanges[i];
            ranges.push_back({{"minFps", range.minFrameRate}, {"maxFps", range.maxFrameRate}});
        }
    }
    return Json{{"width", format ? format->width : 0},
                {"height", format ? format->height : 0},
                {"mediaSubType", format ? format->mediaSubType : 0u},
                {"minimumFrameDurationSeconds", duration(device.activeMinFrameDuration())},
                {"maximumFrameDurationSeconds", duration(device.activeMaxFrameDuration())},
                {"supportedFrameRateRanges", ranges},
                {"observedAtUptimeMs", observedMono * 1000.0}};
}

}  // namespace qv
