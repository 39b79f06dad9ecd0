#pragma once

#include "media/PixelBuffer.h"

#include <cstdint>
#include <string>

namespace qv {

// One frame offered to the preview pipeline. Holding it keeps the pixels alive.
struct PreviewSample {
    PixelBufferRef pixel;
    std::int64_t frameID = 0;
    // Presentation time in seconds, as the capture reported it.
    double sourcePTS = 0;
    // When the frame reached the helper, in seconds of system uptime.
    double arrival = 0;
    // The generation current when the frame was offered, as lower-case UUID text.
    std::string generation;
};

}  // namespace qv
