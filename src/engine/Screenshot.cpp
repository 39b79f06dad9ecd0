#include "engine/Screenshot.h"

#include "base/CaptureError.h"
#include "base/Digest.h"
#include "base/Uuid.h"
#include "media/PngEncoder.h"

namespace qv {

std::string screenshotPNG(const PixelBuffer& frame, std::int64_t limit) {
    std::string png = encodePNG(frame);
    if (png.empty() || static_cast<std::int64_t>(png.size()) > limit) {
        throw CaptureError("SCREENSHOT_BOUND", "Native PNG exceeds the screenshot limit");
    }
    return png;
}

std::string screenshotBasename() {
    return "snapshot-" + randomUuid() + ".png";
}

Json imageMetadata(std::string_view data, const std::string& basename, const std::string& format, int width,
                   int height, std::int64_t frameID, std::optional<double> lastPTS) {
    return Json{{"frameId", frameID},
                {"basename", basename},
                {"bytes", static_cast<std::int64_t>(data.size())},
                {"sha256", sha256Hex(data)},
                {"width", width},
                {"height", height},
                {"sourcePTS", lastPTS.value_or(0.0)},
                {"format", format}};
}

}  // namespace qv
