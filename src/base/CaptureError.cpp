#include "base/CaptureError.h"

#include <utf8proc.h>

#include <array>
#include <cstring>
#include <limits>

namespace qv {

namespace {

constexpr std::size_t longestCode = 100;
constexpr std::size_t longestMessageUnits = 2000;
constexpr std::array<const char*, 3> frameworkDomains = {
    "AVFoundationErrorDomain", "NSOSStatusErrorDomain", "NSCocoaErrorDomain"};

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

std::size_t utf16Length(const std::string& text) {
    // Only called on text built from acceptable parts, which is valid UTF-8.
    std::size_t units = 0;
    for (const unsigned char c : text) {
        if ((c & 0xC0) != 0x80) units += 1;
        if ((c & 0xF8) == 0xF0) units += 1;
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

CaptureError::CaptureError(std::string code, std::string message,
                           std::optional<std::string> frameworkIdentity)
    : code_(std::move(code)), message_(std::move(message)),
      frameworkIdentity_(std::move(frameworkIdentity)) {}

CaptureError::CaptureError(std::string code, std::string message, const std::exception* underlying)
    : CaptureError(std::move(code), std::move(message), publicFrameworkErrorIdentity(underlying)) {}

Json CaptureError::json() const {
    const bool codeOK = acceptableCode(code_);
    std::optional<std::size_t> messageUnits;
    if (codeOK && !message_.empty()) messageUnits = plainUtf16Length(message_);
    const bool messageOK = messageUnits && *messageUnits <= longestMessageUnits;

    std::string message = messageOK ? message_ : std::string(defaultErrorMessage);
    const std::string suffix = frameworkIdentity_ ? " [" + *frameworkIdentity_ + "]" : std::string();
    const std::size_t units = messageOK ? *messageUnits : utf16Length(message);
    if (units + utf16Length(suffix) >= longestMessageUnits + 1) message = defaultErrorMessage;
    return Json{{"code", codeOK ? code_ : std::string("NATIVE_ERROR")}, {"message", message + suffix}};
}

std::optional<std::string> publicFrameworkErrorIdentity(const std::exception* error) {
    const auto* platform = dynamic_cast<const PlatformError*>(error);
    if (platform == nullptr) return std::nullopt;
    if (platform->code() < std::numeric_limits<std::int32_t>::min() ||
        platform->code() > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    for (const char* domain : frameworkDomains) {
        if (platform->domain() == domain) {
            return platform->domain() + " code " + std::to_string(platform->code());
        }
    }
    return std::nullopt;
}

Json errorJSON(const std::exception& error) {
    if (const auto* capture = dynamic_cast<const CaptureError*>(&error)) return capture->json();
    return CaptureError("NATIVE_ERROR", defaultErrorMessage, publicFrameworkErrorIdentity(&error)).json();
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
