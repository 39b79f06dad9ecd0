#include "selftest/SyntheticCodecTest.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>

namespace {

std::array<int, 4> pixelAt(const qv::PixelBuffer& frame, int x, int y) {
    const std::uint8_t* p = frame.row(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

// Columns of row 70 that hold the box colour.
std::pair<int, int> boxColumns(std::int64_t index) {
    auto frame = qv::PixelBuffer::create(160, 144);
    qv::fillSyntheticFrame(*frame, index);
    int first = -1;
    int last = -1;
    for (int x = 0; x < 160; ++x) {
        if (pixelAt(*frame, x, 70) == std::array{16, 220, 250, 255}) {
            if (first < 0) first = x;
            last = x;
        }
    }
    return {first, last};
}

TEST(SyntheticPicture, TheBoxMovesOneColumnPerFrameAndWrapsAfter152) {
    EXPECT_EQ(boxColumns(0), std::pair(0, 7));
    EXPECT_EQ(boxColumns(151), std::pair(151, 158));
    EXPECT_EQ(boxColumns(152), std::pair(0, 7));

    auto frame = qv::PixelBuffer::create(160, 144);
    qv::fillSyntheticFrame(*frame, 0);
    EXPECT_EQ(pixelAt(*frame, 10, 5), (std::array{5, 10, 32, 255}));
    // The box spans rows 60 to 83 only.
    EXPECT_EQ(pixelAt(*frame, 3, 59), (std::array{59, 3, 32, 255}));
    EXPECT_EQ(pixelAt(*frame, 3, 60), (std::array{16, 220, 250, 255}));
    EXPECT_EQ(pixelAt(*frame, 3, 83), (std::array{16, 220, 250, 255}));
    EXPECT_EQ(pixelAt(*frame, 3, 84), (std::array{84, 3, 32, 255}));

    // Other sizes get the same picture scaled.
    auto large = qv::PixelBuffer::create(320, 288);
    qv::fillSyntheticFrame(*large, 0);
    EXPECT_EQ(large->row(121)[4 * 15 + 1], 220);  // inside the box, twice as large
    EXPECT_EQ(large->row(121)[4 * 16 + 1], 8);    // just right of it
    EXPECT_EQ(large->row(287)[4 * 319], 143);
}

TEST(SyntheticPicture, TheToneIsContinuousAcrossFrames) {
    const auto first = qv::syntheticTone(0);
    ASSERT_EQ(first.size(), 800u);
    EXPECT_EQ(first[0], 0);
    EXPECT_GT(first[12], 0);
    const auto second = qv::syntheticTone(1);
    const double expected = std::trunc(std::sin(2 * std::numbers::pi * 440.0 * 800 / 48000) * 2048);
    EXPECT_EQ(second[0], static_cast<std::int16_t>(expected));
    for (const auto s : second) EXPECT_LE(std::abs(s), 2048);
}

}  // namespace
