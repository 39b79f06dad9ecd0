#pragma once

#include "base/Json.h"

#include <cstdint>

namespace qv {

Json syntheticPreviewCodecTest();

}  // namespace qv
