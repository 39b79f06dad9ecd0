#pragma once

#include "media/PixelBuffer.h"

#include <string>

namespace qv {

// PNG of a BGRA frame as 8-bit RGBA (libspng); empty when the encoder fails.
std::string encodePNG(const PixelBuffer& frame);

}  // namespace qv
