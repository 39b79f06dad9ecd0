#include "base/CaptureError.h"

#include <utf8proc.h>

#include <cstring>

namespace qv {

namespace {

constexpr std::size_t longestCode = 100;
constexpr std::size_t longestMessageUnits = 2000;

bool acceptableCode(const std::string& code) {
    if (code.empty() || code.size() > longestCode) return false;
    for (const unsigned char c : code) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

// UTF-16 length of valid UTF-8 text, or none when the text is not valid UTF-8 or holds a Cc or
// Cf scalar.
std::optional<std::size_t> plainUtf16Length(const std::string& text) {
    std::size_t units = 0;
    auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t remaining = static_cast<utf8proc_ssize_t>(text.size());
    while (remaining > 0) {
        utf8proc_int32_t scalar = 0;
        const utf8proc_ssize_t used = utf8proc_iterate(bytes, remaining, &scalar);
        if (used <= 0 || scalar < 0) return std::nullopt;
        const utf8proc_category_t category = utf8proc_category(scalar);
        if (category == UTF8PROC_CATEGORY_CC || category == UTF8PROC_CATEGORY_CF) return std::nullopt;
        units += scalar > 0xFFFF ? 2 : 1;
        bytes += used;
        remaining -= used;
    }
    return units;
}

}  // namespace

PlatformError::PlatformError(std::string domain, std::int64_t code, std::string what)
    : domain_(std::move(domain)), code_(code), what_(std::move(what)) {
    if (what_.empty()) what_ = domain_ + " code " + std::to_string(code_);
}

PlatformError PlatformError::posix(int error, const char* operation) {
    return PlatformError("POSIX", error, std::string(operation) + ": " + std::strerror(error));
}

CaptureError::CaptureError(std::string code, std::string message)
    : code_(std::move(code)), message_(std::move(message)) {}

Json CaptureError::json() const {
    const bool codeOK = acceptableCode(code_);
    std::optional<std::size_t> messageUnits;
    if (codeOK && !message_.empty()) messageUnits = plainUtf16Length(message_);
    const bool messageOK = messageUnits && *messageUnits <= longestMessageUnits;
    return Json{{"code", codeOK ? code_ : std::string("NATIVE_ERROR")},
                {"message", messageOK ? message_ : std::string(defaultErrorMessage)}};
}

Json errorJSON(const std::exception& error) {
    if (const auto* capture = dynamic_cast<const CaptureError*>(&error)) return capture->json();
    return CaptureError("NATIVE_ERROR", defaultErrorMessage).json();
}

Json currentErrorJSON() {
    try {
        throw;
    } catch (const std::exception& error) {
        return errorJSON(error);
    } catch (...) {
        return CaptureError("NATIVE_ERROR", defaultErrorMessage).json();
    }
}

Json fatalJSON(const std::optional<std::string>& sessionId, const Json& error) {
    return Json{{"event", "fatal"},
                {"sessionId", sessionId ? Json(*sessionId) : Json(nullptr)},
                {"error", error},
                {"devicesReleased", false}};
}

}  // namespace qv
