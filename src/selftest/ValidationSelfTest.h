#pragma once

#include "base/Json.h"

#include <cstdint>

namespace qv {

[[noreturn]] void validationSelfTest();

}  // namespace qv
