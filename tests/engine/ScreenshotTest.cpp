#include "engine/Screenshot.h"

#include "TestSupport.h"
#include "platform/PixelBuffer.h"

#include <gtest/gtest.h>

using namespace qv;

TEST(Screenshot, BoundIsInclusiveOfTheLimit) {
    const auto frame = PixelBuffer::create(64, 64);
    const auto size = static_cast<std::int64_t>(screenshotPNG(*frame).size());
    EXPECT_EQ(static_cast<std::int64_t>(screenshotPNG(*frame, size).size()), size);
    EXPECT_EQ(qvtest::thrown([&] { screenshotPNG(*frame, size - 1); }),
              "SCREENSHOT_BOUND / Native PNG exceeds the screenshot limit");
}

TEST(Screenshot, RecordWithoutATimeSaysZeroAsAFloat) {
    const Json record = imageMetadata("data", "b.png", "png", 1, 1, 0, std::nullopt);
    EXPECT_TRUE(record["sourcePTS"].is_number_float());
    EXPECT_EQ(record["sourcePTS"], 0.0);
}
