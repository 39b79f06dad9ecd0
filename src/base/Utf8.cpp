#include "base/Utf8.h"

#include <utf8proc.h>

namespace qv {

namespace {

// The length of the valid sequence at the start of `text`, or 0 when it does not begin with one.
std::size_t validSequence(std::string_view text) {
    utf8proc_int32_t scalar = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                                   static_cast<utf8proc_ssize_t>(text.size()), &scalar);
    return used > 0 && scalar >= 0 ? static_cast<std::size_t>(used) : 0;
}

}  // namespace

bool isUtf8(std::string_view text) {
    while (!text.empty()) {
        const std::size_t used = validSequence(text);
        if (used == 0) return false;
        text.remove_prefix(used);
    }
    return true;
}

std::string replacingInvalidUtf8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        const std::size_t used = validSequence(text);
        if (used == 0) {
            result += "\xEF\xBF\xBD";
            text.remove_prefix(1);
        } else {
            result.append(text.substr(0, used));
            text.remove_prefix(used);
        }
    }
    return result;
}

}  // namespace qv
