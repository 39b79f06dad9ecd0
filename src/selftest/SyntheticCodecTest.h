#pragma once

#include "base/Json.h"
#include "media/PixelBuffer.h"

#include <cstdint>
#include <vector>

namespace qv {

// Records generated pictures (and with `withAudio` a tone) through a real Movie into a fresh private
// directory and checks the finished file. Blocks the calling thread; throws at the first failure.
Json syntheticCodecTest(std::int64_t durationMs, bool withAudio);

// The test picture of frame `index`: a colour ramp with a moving box.
void fillSyntheticFrame(PixelBuffer& frame, std::int64_t index);
// The 1/60 s of 48 kHz mono 440 Hz tone that goes with frame `index`.
std::vector<std::int16_t> syntheticTone(std::int64_t index);

}  // namespace qv
