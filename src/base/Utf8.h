#pragma once

#include <string>
#include <string_view>

namespace qv {

// Whether `text` is UTF-8 throughout (no overlong forms, surrogates or values past U+10FFFF).
bool isUtf8(std::string_view text);

// `text` with every byte that does not begin a valid UTF-8 sequence replaced by U+FFFD, so that text
// from outside (drivers, sysfs, sound cards) can always be written as a JSON string.
std::string replacingInvalidUtf8(std::string_view text);

}  // namespace qv
