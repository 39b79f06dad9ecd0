#pragma once

#include "base/Json.h"

#include <cstdint>

namespace qv {

Json ioSelfTest();

}  // namespace qv
