#pragma once

#include "media/PixelBuffer.h"

#include <cstdint>

namespace qv {

// The moving test picture: a 160 × 144 gradient (B = row, G = column, R = 32) with an 8 × 24 box
// that moves one column per frame and wraps every 152 frames, scaled to the buffer's size.
void drawTestPicture(PixelBuffer& buffer, std::int64_t frameIndex);

}  // namespace qv
