#include "protocol/CaptureError.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace qv;

namespace {

Json record(const std::string& code, const std::string& message) {
    return Json{{"code", code}, {"message", message}};
}

const Json fallback = record("NATIVE_ERROR", defaultErrorMessage);

// n characters outside the Basic Multilingual Plane (U+1F600, two UTF-16 units each).
std::string astral(std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += "\xF0\x9F\x98\x80";
    return text;
}

}  // namespace

TEST(CaptureError, UnacceptableCodeReplacesCodeAndMessage) {
    EXPECT_EQ(CaptureError("", "x").json(), fallback);
    for (const char* code : {"Bad_CODE", "BAD-CODE", "BAD CODE", "CODÉ", "CODE\n"}) {
        EXPECT_EQ(CaptureError(code, "Fine message").json(), fallback) << code;
    }
    EXPECT_EQ(CaptureError(std::string(101, 'A'), "Fine message").json(), fallback);
    EXPECT_EQ(CaptureError(std::string(100, 'A'), "Fine message").json(),
              record(std::string(100, 'A'), "Fine message"));
    EXPECT_EQ(CaptureError("A_1", "Fine message").json(), record("A_1", "Fine message"));
}

TEST(CaptureError, MessagesWithControlOrFormatCharactersGetTheDefault) {
    for (const char* message :
         {"two\nlines", "tab\there", "cr\r", "bell\x07", "c1 \xC2\x85", "zero\xE2\x80\x8Dwidth joiner",
          "\xEF\xBB\xBF"
          "bom",
          "soft\xC2\xAD"
          "hyphen",
          "", "bad \xFF utf8"}) {
        EXPECT_EQ(CaptureError("CODE", message).json(), record("CODE", defaultErrorMessage)) << message;
    }
    // Other non-ASCII text is fine.
    EXPECT_EQ(CaptureError("CODE", "Caf\xC3\xA9 \xE2\x80\x94 ok").json(),
              record("CODE", "Caf\xC3\xA9 \xE2\x80\x94 ok"));
}

TEST(CaptureError, MessageLengthCountsUtf16Units) {
    const std::string longest(2000, 'm');
    EXPECT_EQ(CaptureError("CODE", longest).json(), record("CODE", longest));
    EXPECT_EQ(CaptureError("CODE", longest + "m").json(), record("CODE", defaultErrorMessage));
    EXPECT_EQ(CaptureError("CODE", astral(1000)).json(), record("CODE", astral(1000)));
    EXPECT_EQ(CaptureError("CODE", astral(1001)).json(), record("CODE", defaultErrorMessage));
    // Three UTF-8 bytes are still one unit.
    const std::string bmp = std::string(1999, 'm') + "\xE2\x82\xAC";
    EXPECT_EQ(CaptureError("CODE", bmp).json(), record("CODE", bmp));
}

TEST(CaptureError, IdentitySuffixIsAlwaysShownWithinTheLimit) {
    const std::string suffix = " [NSCocoaErrorDomain code 4]";  // 28 units
    EXPECT_EQ(CaptureError("CODE", std::string(2000, 'm'), "NSCocoaErrorDomain code 4").json(),
              record("CODE", std::string(defaultErrorMessage) + suffix));
    EXPECT_EQ(CaptureError("CODE", std::string(1972, 'm'), "NSCocoaErrorDomain code 4").json(),
              record("CODE", std::string(1972, 'm') + suffix));
    EXPECT_EQ(CaptureError("CODE", std::string(1973, 'm'), "NSCocoaErrorDomain code 4").json(),
              record("CODE", std::string(defaultErrorMessage) + suffix));
    EXPECT_EQ(CaptureError("bad", "Fine", "NSCocoaErrorDomain code 4").json(),
              record("NATIVE_ERROR", std::string(defaultErrorMessage) + suffix));
    EXPECT_EQ(CaptureError("CODE", "bad\n", "NSCocoaErrorDomain code 4").json(),
              record("CODE", std::string(defaultErrorMessage) + suffix));
}

TEST(CaptureError, OnlyTheFrameworkDomainsShowAnIdentity) {
    const PlatformError status("NSOSStatusErrorDomain", -12780);
    EXPECT_EQ(errorJSON(status), record("NATIVE_ERROR", std::string(defaultErrorMessage) +
                                                            " [NSOSStatusErrorDomain code -12780]"));
    EXPECT_EQ(publicFrameworkErrorIdentity(nullptr), std::nullopt);
    EXPECT_EQ(publicFrameworkErrorIdentity(&status), "NSOSStatusErrorDomain code -12780");
    const PlatformError avf("AVFoundationErrorDomain", -2147483648LL);
    EXPECT_EQ(publicFrameworkErrorIdentity(&avf), "AVFoundationErrorDomain code -2147483648");
    for (const PlatformError& error :
         {PlatformError::posix(EPIPE), PlatformError("FFmpeg", -22), PlatformError("V4L2", 19),
          PlatformError("ALSA", -5), PlatformError("NSCocoaErrorDomain", 2147483648LL),
          PlatformError("NSCocoaErrorDomain", -2147483649LL), PlatformError("nscocoaerrordomain", 4)}) {
        EXPECT_EQ(publicFrameworkErrorIdentity(&error), std::nullopt) << error.what();
        EXPECT_EQ(errorJSON(error), fallback) << error.what();
    }
    const std::runtime_error other("details the host must not see");
    EXPECT_EQ(errorJSON(other), fallback);
    EXPECT_EQ(publicFrameworkErrorIdentity(&other), std::nullopt);
}

TEST(CaptureError, WrappingTakesTheIdentityOfTheUnderlyingError) {
    const PlatformError underlying("NSOSStatusErrorDomain", 7);
    EXPECT_EQ(CaptureError("WRITER_FAILED", "Writer failed", &underlying).json(),
              record("WRITER_FAILED", "Writer failed [NSOSStatusErrorDomain code 7]"));
    const PlatformError posix = PlatformError::posix(ENOSPC);
    EXPECT_EQ(CaptureError("WRITER_FAILED", "Writer failed", &posix).json(),
              record("WRITER_FAILED", "Writer failed"));
}

TEST(CaptureError, CurrentErrorRecordInsideACatch) {
    try {
        throw CaptureError("CLOSING", "Closing");
    } catch (...) {
        EXPECT_EQ(currentErrorJSON(), record("CLOSING", "Closing"));
    }
    try {
        throw 42;
    } catch (...) {
        EXPECT_EQ(currentErrorJSON(), fallback);
    }
}
