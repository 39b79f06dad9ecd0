#pragma once

#include "protocol/Json.h"

#include <cstdint>

namespace qv {

Json syntheticPreviewCodecTest();

}  // namespace qv
