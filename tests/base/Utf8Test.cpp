#include "base/Utf8.h"

#include <gtest/gtest.h>

using namespace qv;

TEST(Utf8, EachByteThatBeginsNoValidSequenceBecomesOneReplacementCharacter) {
    const std::string r = "\xEF\xBF\xBD";
    struct Case {
        std::string text, replaced;
    };
    const Case cases[] = {
        {"", ""},
        {"Quorvelle - Player 01", "Quorvelle - Player 01"},
        {"Caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80", "Caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80"},
        {"Caf\xE9 Cam", "Caf" + r + " Cam"},  // Latin-1
        {"Cam\xC3", "Cam" + r},               // cut short inside a sequence
        {"\x80x", r + "x"},                   // a lone continuation byte
        {"\xC0\xAF", r + r},                  // overlong "/"
        {"\xED\xA0\x80", r + r + r},          // a UTF-16 surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // past U+10FFFF
        {"\xFF\xFE", r + r},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(replacingInvalidUtf8(c.text), c.replaced) << c.text;
        EXPECT_EQ(isUtf8(c.text), c.text == c.replaced) << c.text;
        EXPECT_TRUE(isUtf8(c.replaced)) << c.text;
    }
}
