#pragma once

#include "protocol/Json.h"

#include <cstdint>

namespace qv {

Json syntheticPreviewPipelineTest();

}  // namespace qv
