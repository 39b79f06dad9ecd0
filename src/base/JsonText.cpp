#include "base/JsonText.h"

#include <cmath>

namespace qv {

namespace {

bool finiteEverywhere(const Json& value) {
    switch (value.type()) {
        case Json::value_t::number_float:
            return std::isfinite(value.get<double>());
        case Json::value_t::object:
        case Json::value_t::array:
            for (const auto& item : value) {
                if (!finiteEverywhere(item)) return false;
            }
            return true;
        case Json::value_t::binary:
        case Json::value_t::discarded:
            return false;
        default:
            return true;
    }
}

}  // namespace

std::optional<std::string> jsonLine(const Json& object) {
    if (!object.is_object() || !finiteEverywhere(object)) return std::nullopt;
    std::string text;
    try {
        text = object.dump();
    } catch (const Json::exception&) {
        return std::nullopt;  // invalid UTF-8 in a string
    }
    // A slash can only stand inside a string, where "\/" is the same character.
    std::string escaped;
    escaped.reserve(text.size() + 8);
    for (const char c : text) {
        if (c == '/') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

}  // namespace qv
