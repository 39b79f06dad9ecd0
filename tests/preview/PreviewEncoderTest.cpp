#include "TestSupport.h"
#include "media/JpegCodec.h"
#include "preview/PreviewEncoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace {

using namespace qv;

TEST(PreviewEncoder, ReducesLargeFramesByOneFactorAndNeverEnlarges) {
    const PreviewEncoder encode = makeDefaultPreviewEncoder();
    // Width bound, height bound; 640/1077 * 1077 lands just below 640 in floating point.
    const int cases[][4] = {
        {1280, 1152, 640, 576}, {160, 144, 160, 144}, {1077, 100, 640, 59}, {800, 1152, 400, 576}};
    for (const auto& [width, height, expectedWidth, expectedHeight] : cases) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        auto frame = PixelBuffer::create(width, height);
        std::memset(frame->data(), 100, frame->bytesPerRow() * static_cast<std::size_t>(height));
        const EncodedPreview encoded =
            encode(PreviewSample{frame, 1, 0.0, 0.0, "00000000-0000-4000-8000-000000000000"});
        EXPECT_EQ(std::pair(encoded.width, encoded.height), std::pair(expectedWidth, expectedHeight));
        // The JPEG itself agrees, and a uniform grey stays that grey within JPEG's rounding.
        const auto decoded = JpegCodec().decode(encoded.bytes.data(), encoded.bytes.size());
        ASSERT_TRUE(decoded);
        EXPECT_EQ(std::pair(decoded->width(), decoded->height()), std::pair(expectedWidth, expectedHeight));
        const std::uint8_t* centre = decoded->row(expectedHeight / 2) + expectedWidth / 2 * 4;
        for (int channel = 0; channel < 3; ++channel) EXPECT_NEAR(centre[channel], 100, 3);
    }
    EXPECT_EQ(qvtest::thrown([&] { encode(PreviewSample{}); }),
              "PREVIEW_ENCODE / Native preview encoding failed");
}

}  // namespace
