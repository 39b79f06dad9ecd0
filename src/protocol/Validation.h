#pragma once
// PLACEHOLDER until the foundation lands; never merged.
#include "protocol/CaptureError.h"
#include "platform/Uuid.h"
#include <initializer_list>
#include <string_view>
namespace qv {
inline std::string validatedRequestID(const Json& request) {
    if (!request.is_object()) throw CaptureError("INVALID_REQUEST", "A UUID requestId is required");
    auto it = request.find("requestId");
    if (it == request.end() || !it->is_string() || !isCanonicalUuid(it->get<std::string>()))
        throw CaptureError("INVALID_REQUEST", "A UUID requestId is required");
    return it->get<std::string>();
}
inline void exactKeys(const Json& map, std::initializer_list<std::string_view> keys) {
    for (auto& [k, v] : map.items()) {
        bool ok = false;
        for (auto key : keys) ok = ok || key == k;
        if (!ok) throw CaptureError("INVALID_ARGUMENT", "Unknown request field");
    }
}
}  // namespace qv
