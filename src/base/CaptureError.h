#pragma once

#include "base/Json.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace qv {

// An error raised by a platform library or the kernel, carrying that library's own domain
// ("FFmpeg", "V4L2", "ALSA", "POSIX") and its numeric code. Only the framework domains named in
// frameworkDomains ever show up in what the host sees.
class PlatformError : public std::exception {
public:
    PlatformError(std::string domain, std::int64_t code, std::string what = {});
    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    const char* what() const noexcept override { return what_.c_str(); }

    // A POSIX error from errno.
    static PlatformError posix(int error, const char* operation = "");

private:
    std::string domain_;
    std::int64_t code_;
    std::string what_;
};

// The one error type of the helper: an upper-case code, a sentence-case message and, for a
// wrapped platform error, its public identity.
class CaptureError : public std::exception {
public:
    CaptureError(std::string code, std::string message,
                 std::optional<std::string> frameworkIdentity = std::nullopt);
    // Wraps a platform failure; the identity comes from the underlying error, if any.
    CaptureError(std::string code, std::string message, const std::exception* underlying);

    const std::string& code() const { return code_; }
    const std::string& message() const { return message_; }
    const std::optional<std::string>& frameworkIdentity() const { return frameworkIdentity_; }
    const char* what() const noexcept override { return code_.c_str(); }

    // The sanitised error record {"code", "message"}.
    Json json() const;

private:
    std::string code_;
    std::string message_;
    std::optional<std::string> frameworkIdentity_;
};

inline constexpr const char* defaultErrorMessage =
    "Native capture failed. Check the error code for details.";

// The error record of any error; anything but a CaptureError becomes "NATIVE_ERROR".
Json errorJSON(const std::exception& error);
// The error record of the exception being handled (call inside a catch block).
Json currentErrorJSON();
// "<domain> code <n>" for errors of the framework domains, else none.
std::optional<std::string> publicFrameworkErrorIdentity(const std::exception* error);
// {"event":"fatal","sessionId":id or null,"error":record,"devicesReleased":false}
Json fatalJSON(const std::optional<std::string>& sessionId, const Json& error);

}  // namespace qv
