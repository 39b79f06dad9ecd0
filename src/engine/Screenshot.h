#pragma once

#include "base/Json.h"
#include "base/Limits.h"
#include "base/Runtime.h"
#include "media/PixelBuffer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// The full frame as PNG (8-bit RGBA), no scaling or cropping. Throws "SCREENSHOT_BOUND" when the
// encoder gives nothing or more than `limit` bytes, before any file exists.
std::string screenshotPNG(const PixelBuffer& frame, std::int64_t limit = protocolLimits.maxSnapshotBytes);

// "snapshot-" + a fresh lower-case UUID + ".png".
std::string screenshotBasename();

// The image record of bytes just written: {"frameId", "basename", "bytes", "sha256", "width",
// "height", "sourcePTS", "format"}. Size and hash come from `data` itself, the bytes written.
Json imageMetadata(std::string_view data, const std::string& basename, const std::string& format, int width,
                   int height, std::int64_t frameID, std::optional<double> lastPTS);

}  // namespace qv
