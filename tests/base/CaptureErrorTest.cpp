#include "base/CaptureError.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace qv;

TEST(CaptureError, RecordsKeepOnlyWhatIsSafeToShowTheHost) {
    // n characters outside the Basic Multilingual Plane (two UTF-16 units each).
    const auto astral = [](std::size_t n) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += "\xF0\x9F\x98\x80";
        return text;
    };
    const std::string fallbackText = defaultErrorMessage;
    const std::string m2000(2000, 'm');
    struct Case {
        std::string code, message, expectedCode, expectedMessage;
    };
    const Case cases[] = {
        {"", "x", "NATIVE_ERROR", fallbackText},
        {"Bad_CODE", "Fine", "NATIVE_ERROR", fallbackText},
        {"CODÉ", "Fine", "NATIVE_ERROR", fallbackText},
        {std::string(101, 'A'), "Fine", "NATIVE_ERROR", fallbackText},
        {std::string(100, 'A'), "Fine", std::string(100, 'A'), "Fine"},
        // Cc and Cf characters, empty text and broken UTF-8 give the default message.
        {"CODE", "two\nlines", "CODE", fallbackText},
        {"CODE", "c1 \xC2\x85", "CODE", fallbackText},
        {"CODE", "zero\xE2\x80\x8Dwidth", "CODE", fallbackText},
        {"CODE", "\xEF\xBB\xBFtext", "CODE", fallbackText},
        {"CODE", "", "CODE", fallbackText},
        {"CODE", "bad \xFF utf8", "CODE", fallbackText},
        {"CODE", "Caf\xC3\xA9 \xE2\x80\x94 ok", "CODE", "Caf\xC3\xA9 \xE2\x80\x94 ok"},
        // The limit counts UTF-16 units, not bytes or code points.
        {"CODE", m2000, "CODE", m2000},
        {"CODE", m2000 + "m", "CODE", fallbackText},
        {"CODE", astral(1000), "CODE", astral(1000)},
        {"CODE", astral(1001), "CODE", fallbackText},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CaptureError(c.code, c.message).json(),
                  (Json{{"code", c.expectedCode}, {"message", c.expectedMessage}}))
            << c.code << " / " << c.message;
    }
}

TEST(CaptureError, AnythingButACaptureErrorShowsTheDefault) {
    const Json fallback = {{"code", "NATIVE_ERROR"}, {"message", defaultErrorMessage}};
    for (const PlatformError& error : {PlatformError::posix(EPIPE), PlatformError("FFmpeg", -22)}) {
        EXPECT_EQ(errorJSON(error), fallback) << error.what();
    }
    EXPECT_EQ(errorJSON(std::runtime_error("details the host must not see")), fallback);
    try {
        throw 42;
    } catch (...) {
        EXPECT_EQ(currentErrorJSON(), fallback);
    }
}
