#include "protocol/Validation.h"

#include "base/CaptureError.h"
#include "base/Uuid.h"

#include <algorithm>
#include <cmath>

namespace qv {

namespace {

constexpr std::size_t longestID = 80;

[[noreturn]] void integerError(std::int64_t minimum, std::int64_t maximum) {
    throw CaptureError("INVALID_ARGUMENT", "Expected an integer from " + std::to_string(minimum) +
                                               " through " + std::to_string(maximum));
}

}  // namespace

const Json* field(const Json& map, std::string_view key) {
    if (!map.is_object()) return nullptr;
    const auto found = map.find(std::string(key));
    return found == map.end() ? nullptr : &*found;
}

std::string validatedRequestID(const Json& request) {
    const Json* value = field(request, "requestId");
    if (value == nullptr || !value->is_string()) {
        throw CaptureError("INVALID_REQUEST", "A UUID requestId is required");
    }
    const auto& text = value->get_ref<const std::string&>();
    if (!isCanonicalUuid(text)) throw CaptureError("INVALID_REQUEST", "A UUID requestId is required");
    return text;
}

void exactKeys(const Json& map, std::span<const std::string_view> allowed) {
    if (!map.is_object()) throw CaptureError("INVALID_ARGUMENT", "Unknown request field");
    for (const auto& item : map.items()) {
        if (std::find(allowed.begin(), allowed.end(), item.key()) == allowed.end()) {
            throw CaptureError("INVALID_ARGUMENT", "Unknown request field");
        }
    }
}

void exactKeys(const Json& map, std::initializer_list<std::string_view> allowed) {
    exactKeys(map, std::span<const std::string_view>(allowed.begin(), allowed.size()));
}

bool validID(std::string_view text) {
    if (text.empty() || text.size() > longestID) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-';
    });
}

std::int64_t integer(const Json* value, std::int64_t minimum, std::int64_t maximum,
                     std::optional<std::int64_t> fallback) {
    if (value == nullptr && fallback) return *fallback;
    if (value == nullptr) integerError(minimum, maximum);
    // Whole numbers are compared exactly, so a value just past a bound is never let through by
    // floating-point rounding.
    if (value->is_number_integer() && !value->is_number_unsigned()) {
        const auto number = value->get<std::int64_t>();
        if (number < minimum || number > maximum) integerError(minimum, maximum);
        return number;
    }
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (maximum < 0 || number > static_cast<std::uint64_t>(maximum) ||
            (minimum > 0 && number < static_cast<std::uint64_t>(minimum))) {
            integerError(minimum, maximum);
        }
        return static_cast<std::int64_t>(number);
    }
    if (!value->is_number_float()) integerError(minimum, maximum);
    const double number = value->get<double>();
    if (!std::isfinite(number) || std::trunc(number) != number) integerError(minimum, maximum);
    // Outside this range the conversion to a 64-bit integer would be undefined.
    if (number < -9.2233720368547758e18 || number >= 9.2233720368547758e18) integerError(minimum, maximum);
    const auto whole = static_cast<std::int64_t>(number);
    if (whole < minimum || whole > maximum) integerError(minimum, maximum);
    return whole;
}

}  // namespace qv
