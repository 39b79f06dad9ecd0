#include "base/CaptureError.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace qv;

namespace {

Json record(const std::string& code, const std::string& message) {
    return Json{{"code", code}, {"message", message}};
}

// n characters outside the Basic Multilingual Plane (two UTF-16 units each).
std::string astral(std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += "\xF0\x9F\x98\x80";
    return text;
}

}  // namespace

TEST(CaptureError, RecordsKeepOnlyWhatIsSafeToShowTheHost) {
    const std::string fallbackText = defaultErrorMessage;
    const std::string m2000(2000, 'm');
    const std::string suffix = " [NSCocoaErrorDomain code 4]";  // 28 units
    struct Case {
        std::string code, message, identity, expectedCode, expectedMessage;
    };
    const Case cases[] = {
        {"", "x", "", "NATIVE_ERROR", fallbackText},
        {"Bad_CODE", "Fine", "", "NATIVE_ERROR", fallbackText},
        {"CODÉ", "Fine", "", "NATIVE_ERROR", fallbackText},
        {std::string(101, 'A'), "Fine", "", "NATIVE_ERROR", fallbackText},
        {std::string(100, 'A'), "Fine", "", std::string(100, 'A'), "Fine"},
        // Cc and Cf characters, empty text and broken UTF-8 give the default message.
        {"CODE", "two\nlines", "", "CODE", fallbackText},
        {"CODE", "c1 \xC2\x85", "", "CODE", fallbackText},
        {"CODE", "zero\xE2\x80\x8Dwidth", "", "CODE", fallbackText},
        {"CODE",
         "\xEF\xBB\xBF"
         "bom",
         "", "CODE", fallbackText},
        {"CODE", "", "", "CODE", fallbackText},
        {"CODE", "bad \xFF utf8", "", "CODE", fallbackText},
        {"CODE", "Caf\xC3\xA9 \xE2\x80\x94 ok", "", "CODE", "Caf\xC3\xA9 \xE2\x80\x94 ok"},
        // The limit counts UTF-16 units, not bytes or code points.
        {"CODE", m2000, "", "CODE", m2000},
        {"CODE", m2000 + "m", "", "CODE", fallbackText},
        {"CODE", astral(1000), "", "CODE", astral(1000)},
        {"CODE", astral(1001), "", "CODE", fallbackText},
        // The identity suffix always shows, and counts towards the limit.
        {"CODE", std::string(1972, 'm'), "NSCocoaErrorDomain code 4", "CODE",
         std::string(1972, 'm') + suffix},
        {"CODE", std::string(1973, 'm'), "NSCocoaErrorDomain code 4", "CODE", fallbackText + suffix},
        {"bad", "Fine", "NSCocoaErrorDomain code 4", "NATIVE_ERROR", fallbackText + suffix},
    };
    for (const Case& c : cases) {
        const CaptureError error = c.identity.empty() ? CaptureError(c.code, c.message)
                                                      : CaptureError(c.code, c.message, c.identity);
        EXPECT_EQ(error.json(), record(c.expectedCode, c.expectedMessage)) << c.code << " / " << c.message;
    }
}

TEST(CaptureError, OnlyTheFrameworkDomainsShowAnIdentity) {
    const Json fallback = record("NATIVE_ERROR", defaultErrorMessage);
    const PlatformError status("NSOSStatusErrorDomain", -12780);
    EXPECT_EQ(errorJSON(status), record("NATIVE_ERROR", std::string(defaultErrorMessage) +
                                                            " [NSOSStatusErrorDomain code -12780]"));
    EXPECT_EQ(CaptureError("WRITER_FAILED", "Writer failed", &status).json(),
              record("WRITER_FAILED", "Writer failed [NSOSStatusErrorDomain code -12780]"));
    // The platform's own domains, codes outside 32 bits and other exceptions show nothing.
    for (const PlatformError& error :
         {PlatformError::posix(EPIPE), PlatformError("FFmpeg", -22), PlatformError("V4L2", 19),
          PlatformError("ALSA", -5), PlatformError("NSCocoaErrorDomain", 2147483648LL),
          PlatformError("nscocoaerrordomain", 4)}) {
        EXPECT_EQ(errorJSON(error), fallback) << error.what();
    }
    EXPECT_EQ(errorJSON(std::runtime_error("details the host must not see")), fallback);
    try {
        throw 42;
    } catch (...) {
        EXPECT_EQ(currentErrorJSON(), fallback);
    }
}
