#pragma once

#include "base/Json.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace qv {

// An error raised by a platform library or the kernel, carrying that library's own domain
// ("FFmpeg", "V4L2", "ALSA", "POSIX") and its numeric code. None of it reaches the host, which
// sees the usual code and message.
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

// The one error type of the helper: an upper-case code and a sentence-case message.
class CaptureError : public std::exception {
public:
    CaptureError(std::string code, std::string message);

    const std::string& code() const { return code_; }
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return code_.c_str(); }

    // The sanitised error record {"code", "message"}.
    Json json() const;

private:
    std::string code_;
    std::string message_;
};

inline constexpr const char* defaultErrorMessage = "Native capture failed. Check the error code for details.";

// The error record of any error; anything but a CaptureError becomes "NATIVE_ERROR".
Json errorJSON(const std::exception& error);
// The error record of the exception being handled (call inside a catch block).
Json currentErrorJSON();
// {"event":"fatal","sessionId":id or null,"error":record,"devicesReleased":false}
Json fatalJSON(const std::optional<std::string>& sessionId, const Json& error);

}  // namespace qv
