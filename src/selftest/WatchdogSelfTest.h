#pragma once

#include "base/Json.h"

#include <cstdint>

namespace qv {

[[noreturn]] void watchdogSelfTest();

}  // namespace qv
