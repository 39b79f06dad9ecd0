#pragma once

#include "base/Json.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv {

// The value of `key` in a request map, or null when the key is missing. A key whose value is JSON
// null gives a pointer to that null, so a missing key and an explicit null stay distinct.
const Json* field(const Json& map, std::string_view key);

// The request's "requestId", unchanged (letter case kept), when it is canonical UUID text.
// Throws "INVALID_REQUEST" otherwise.
std::string validatedRequestID(const Json& request);

// Throws "INVALID_ARGUMENT" / "Unknown request field" when the map has a key outside `allowed`
// (or is not a map at all). Keys of `allowed` may be missing.
void exactKeys(const Json& map, std::span<const std::string_view> allowed);
void exactKeys(const Json& map, std::initializer_list<std::string_view> allowed);

// A safe identifier: 1 to 80 bytes of ASCII letters, digits, "_" and "-".
bool validID(std::string_view text);

// A whole JSON number (not a boolean, not a string, finite, no fraction) within
// [minimum, maximum]. `value` is null when the key is missing: then `fallback` is returned if
// given. Anything else, an explicit JSON null included, throws "INVALID_ARGUMENT".
std::int64_t integer(const Json* value, std::int64_t minimum, std::int64_t maximum,
                     std::optional<std::int64_t> fallback = std::nullopt);

}  // namespace qv
