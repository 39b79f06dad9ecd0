#include "selftest/SyntheticCodecTest.h"

#include <gtest/gtest.h>

#include <array>

namespace {

std::array<int, 4> pixelAt(const qv::PixelBuffer& frame, int x, int y) {
    const std::uint8_t* p = frame.row(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

TEST(SyntheticPicture, TheBoxMovesOneColumnPerFrameAndWrapsAfter152) {
    const std::array box{16, 220, 250, 255};
    auto frame = qv::PixelBuffer::create(160, 144);
    for (const auto& [index, column] : {std::pair{0, 0}, {151, 151}, {152, 0}}) {
        qv::fillSyntheticFrame(*frame, index);
        EXPECT_NE(pixelAt(*frame, (column + 159) % 160, 70), box) << index;
        EXPECT_EQ(pixelAt(*frame, column, 70), box) << index;
        EXPECT_EQ(pixelAt(*frame, column + 7, 70), box) << index;
        EXPECT_NE(pixelAt(*frame, column + 8, 70), box) << index;
    }
    // The background, and the box's rows 60 to 83 only.
    EXPECT_EQ(pixelAt(*frame, 3, 59), (std::array{59, 3, 32, 255}));
    EXPECT_EQ(pixelAt(*frame, 3, 60), box);
    EXPECT_EQ(pixelAt(*frame, 3, 83), box);
    EXPECT_EQ(pixelAt(*frame, 3, 84), (std::array{84, 3, 32, 255}));
}

}  // namespace
