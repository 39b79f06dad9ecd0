#pragma once

#include "base/Json.h"

#include <cstdint>

namespace qv {

[[noreturn]] void lifecycleSelfTest(bool eof);

}  // namespace qv
