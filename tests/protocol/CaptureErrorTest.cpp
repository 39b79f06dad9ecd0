#include "protocol/CaptureError.h"

#include <gtest/gtest.h>

using namespace qv;

TEST(CaptureError, EmptyCodeGivesTheFallbackRecord) {
    EXPECT_EQ(CaptureError("", "x").json(),
              (Json{{"code", "NATIVE_ERROR"}, {"message", defaultErrorMessage}}));
}
