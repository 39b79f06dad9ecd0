#include "TestSupport.h"
#include "protocol/Validation.h"

#include <gtest/gtest.h>

#include <limits>

using namespace qv;
using qvtest::thrown;

// Echoing, exact keys and nested maps are exercised by the protocol sessions; these are the malformed IDs.
TEST(Validation, RequestIdsMustBeHyphenatedUuidText) {
    const std::string refused = "INVALID_REQUEST / A UUID requestId is required";
    for (const Json& value :
         {Json("00000000000040008000000000000001"), Json("00000000-0000-4000-8000-000000000001 "),
          Json("00000000-0000-4000-8000-00000000000g"), Json(1), Json(nullptr)}) {
        EXPECT_EQ(thrown([&] { validatedRequestID({{"requestId", value}}); }), refused) << value;
    }
    EXPECT_EQ(thrown([] { validatedRequestID(Json::array()); }), refused);
    EXPECT_FALSE(validID("a.b"));
    EXPECT_FALSE(validID("\xc3\xa9"));
}

TEST(Validation, IntegerTakesOnlyWholeNumbersWithinBounds) {
    const std::string refused = "INVALID_ARGUMENT / Expected an integer from 1000 through 600000";
    const Json request = {{"durationMs", nullptr}};
    // The fallback is for a missing key only, not for null.
    EXPECT_EQ(integer(field(request, "other"), 1000, 600000, 180000), 180000);
    EXPECT_EQ(thrown([&] { integer(field(request, "durationMs"), 1000, 600000, 180000); }), refused);
    for (const Json& value : {Json::parse("2000.0"), Json::parse("2e3"), Json::parse("600000")})
        EXPECT_NO_THROW(integer(&value, 1000, 600000)) << value;
    const Json negativeZero = -0.0;
    EXPECT_EQ(integer(&negativeZero, 0, 10), 0);
    // A 64-bit integer just past the bound must not slip through by rounding to a double; a negative
    // bound reads as such.
    const Json nearMax = std::numeric_limits<std::int64_t>::max() - 1;
    EXPECT_EQ(thrown([&] { integer(&nearMax, 0, std::numeric_limits<std::int64_t>::max() - 2); }),
              "INVALID_ARGUMENT / Expected an integer from 0 through 9223372036854775805");
    const Json eleven = 11;
    EXPECT_EQ(thrown([&] { integer(&eleven, -10, 10); }),
              "INVALID_ARGUMENT / Expected an integer from -10 through 10");
    for (const Json& value :
         {Json(false), Json(999), Json(1000.5), Json(std::numeric_limits<double>::infinity()),
          Json(std::numeric_limits<double>::quiet_NaN()), Json(1e300),
          Json(std::numeric_limits<std::uint64_t>::max()), Json::array({1000})}) {
        EXPECT_EQ(thrown([&] { integer(&value, 1000, 600000); }), refused) << value;
    }
}
