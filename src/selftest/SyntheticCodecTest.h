#pragma once

#include "protocol/Json.h"

#include <cstdint>

namespace qv {

Json syntheticCodecTest(std::int64_t durationMs, bool withAudio);

}  // namespace qv
