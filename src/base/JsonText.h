#pragma once

#include "base/Json.h"

#include <optional>
#include <string>

namespace qv {

// The wire form of a map: sorted keys, compact, raw UTF-8, "/" written as "\/". None when the
// value is not a valid JSON object (non-finite number, invalid UTF-8, not an object).
std::optional<std::string> jsonLine(const Json& object);

}  // namespace qv
