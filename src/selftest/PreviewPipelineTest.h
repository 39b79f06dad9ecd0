#pragma once

#include "base/Json.h"

#include <cstdint>

namespace qv {

Json syntheticPreviewPipelineTest();

}  // namespace qv
