#pragma once

#include "protocol/Json.h"

#include <cstdint>

namespace qv {

[[noreturn]] void validationSelfTest();

}  // namespace qv
