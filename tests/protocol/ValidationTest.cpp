#include "protocol/CaptureError.h"
#include "protocol/Validation.h"

#include <gtest/gtest.h>

#include <limits>

using namespace qv;

namespace {

// The error record a call throws, or null when it does not throw.
template <typename F>
Json thrown(F&& call) {
    try {
        call();
    } catch (const CaptureError& error) {
        return error.json();
    }
    return nullptr;
}

const Json badRequest = {{"code", "INVALID_REQUEST"}, {"message", "A UUID requestId is required"}};
const Json unknownField = {{"code", "INVALID_ARGUMENT"}, {"message", "Unknown request field"}};
const Json outOfRange = {{"code", "INVALID_ARGUMENT"},
                         {"message", "Expected an integer from 1000 through 600000"}};

std::int64_t duration(const Json& value) {
    return integer(&value, 1000, 600000);
}

}  // namespace

TEST(Validation, RequestIdMustBeAUuidAndIsEchoedInTheCaseTheHostUsed) {
    EXPECT_EQ(validatedRequestID({{"requestId", "ABCDEF01-abcd-4000-8000-00000000000A"}}),
              "ABCDEF01-abcd-4000-8000-00000000000A");
    for (const Json& value :
         {Json("00000000000040008000000000000001"), Json("{00000000-0000-4000-8000-000000000001}"),
          Json("00000000-0000-4000-8000-000000000001 "), Json("00000000-0000-4000-8000-00000000000g"),
          Json("00000000-0000-4000-8000+000000000001"), Json(""), Json(1), Json(true), Json(nullptr),
          Json::array(), Json::object()}) {
        EXPECT_EQ(thrown([&] { validatedRequestID({{"requestId", value}}); }), badRequest) << value;
    }
    EXPECT_EQ(thrown([] { validatedRequestID({{"action", "list"}}); }), badRequest);
    EXPECT_EQ(thrown([] { validatedRequestID(Json::array()); }), badRequest);
}

TEST(Validation, ExactKeysAllowsMissingKeysButNoStrangers) {
    EXPECT_EQ(thrown([] { exactKeys({{"requestId", "x"}}, {"requestId", "action"}); }), nullptr);
    EXPECT_EQ(thrown([] { exactKeys(Json::object(), {"requestId", "action"}); }), nullptr);
    EXPECT_EQ(thrown([] {
                  exactKeys({{"requestId", 1}, {"action", 2}, {"extra", 3}}, {"requestId", "action"});
              }),
              unknownField);
    // Nested maps are not looked into.
    EXPECT_EQ(thrown([] { exactKeys({{"selection", {{"anything", 1}}}}, {"selection"}); }), nullptr);
    EXPECT_EQ(thrown([] { exactKeys(Json::array({"requestId"}), {"requestId"}); }), unknownField);
}

TEST(Validation, IntegerFallbackAppliesOnlyToAMissingKey) {
    const Json request = {{"durationMs", nullptr}};
    EXPECT_EQ(integer(field(request, "other"), 1000, 600000, 180000), 180000);
    EXPECT_EQ(thrown([&] { integer(field(request, "durationMs"), 1000, 600000, 180000); }), outOfRange);
    EXPECT_EQ(thrown([&] { integer(field(request, "other"), 1000, 600000); }), outOfRange);
}

TEST(Validation, IntegerAcceptsWholeNumbersWithinBoundsInAnyNumberForm) {
    EXPECT_EQ(duration(1000), 1000);
    EXPECT_EQ(duration(600000), 600000);
    EXPECT_EQ(duration(Json::parse("2000.0")), 2000);
    EXPECT_EQ(duration(Json::parse("2e3")), 2000);
    EXPECT_EQ(duration(Json::parse("600000")), 600000);  // parsed as an unsigned number
    const Json negative = -5, negativeZero = -0.0;
    EXPECT_EQ(integer(&negative, -10, 10), -5);
    EXPECT_EQ(integer(&negativeZero, 0, 10), 0);
    const Json eleven = 11;
    EXPECT_EQ(thrown([&] { integer(&eleven, -10, 10); })["message"],
              "Expected an integer from -10 through 10");
}

TEST(Validation, IntegerRefusesEverythingElse) {
    for (const Json& value :
         {Json(true), Json(false), Json(0), Json(999), Json(600001), Json(1000.5), Json(-1000),
          Json("180000"), Json(std::numeric_limits<double>::infinity()),
          Json(std::numeric_limits<double>::quiet_NaN()), Json(1e300),
          Json(std::numeric_limits<std::uint64_t>::max()), Json::array({1000}), Json{{"value", 1000}}}) {
        EXPECT_EQ(thrown([&] { duration(value); }), outOfRange) << value;
    }
}

TEST(Validation, ValidIdIsShortPlainAscii) {
    EXPECT_TRUE(validID("request_123-a"));
    EXPECT_TRUE(validID(std::string(80, 'a')));
    EXPECT_FALSE(validID(std::string(81, 'a')));
    for (const char* text : {"", "../escape", "a.b", "a/b", "a b", "\xc3\xa9", "a\n"}) {
        EXPECT_FALSE(validID(text)) << text;
    }
}
