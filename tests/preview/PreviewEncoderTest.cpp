#include "platform/JpegCodec.h"
#include "preview/PreviewEncoder.h"
#include "protocol/CaptureError.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace qv;

PreviewSample sampleOf(int width, int height) {
    auto frame = PixelBuffer::create(width, height);
    std::memset(frame->data(), 100, frame->bytesPerRow() * static_cast<std::size_t>(height));
    return PreviewSample{frame, 1, 0.0, 0.0, "00000000-0000-4000-8000-000000000000"};
}

// The size the JPEG itself declares, which must agree with what the encoder reports.
void expectEncodedAt(const PreviewEncoder& encode, int width, int height, int expectedWidth,
                     int expectedHeight) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const EncodedPreview encoded = encode(sampleOf(width, height));
    EXPECT_EQ(encoded.width, expectedWidth);
    EXPECT_EQ(encoded.height, expectedHeight);
    JpegCodec codec;
    const auto decoded = codec.decode(encoded.bytes.data(), encoded.bytes.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width(), expectedWidth);
    EXPECT_EQ(decoded->height(), expectedHeight);
}

TEST(PreviewEncoder, ReducesLargeFramesByOneFactorAndNeverEnlarges) {
    const PreviewEncoder encode = makeDefaultPreviewEncoder();
    expectEncodedAt(encode, 1280, 1152, 640, 576);
    expectEncodedAt(encode, 160, 144, 160, 144);
    expectEncodedAt(encode, 640, 576, 640, 576);
    expectEncodedAt(encode, 1, 1, 1, 1);
    // Width bound, height bound; 640/1077 * 1077 lands just below 640 in floating point.
    expectEncodedAt(encode, 1920, 1080, 640, 360);
    expectEncodedAt(encode, 1077, 100, 640, 59);
    expectEncodedAt(encode, 800, 1152, 400, 576);
    expectEncodedAt(encode, 641, 100, 640, 99);
}

TEST(PreviewEncoder, KeepsThePictureThroughReduction) {
    const PreviewEncoder encode = makeDefaultPreviewEncoder();
    const EncodedPreview encoded = encode(sampleOf(1280, 1152));
    JpegCodec codec;
    const auto decoded = codec.decode(encoded.bytes.data(), encoded.bytes.size());
    ASSERT_TRUE(decoded);
    // A uniform grey stays that grey within JPEG's rounding.
    const std::uint8_t* centre = decoded->row(288) + 320 * 4;
    for (int channel = 0; channel < 3; ++channel) EXPECT_NEAR(centre[channel], 100, 3);
}

TEST(PreviewEncoder, AMissingFrameIsAnEncodingFailure) {
    const PreviewEncoder encode = makeDefaultPreviewEncoder();
    try {
        encode(PreviewSample{});
        FAIL() << "no error";
    } catch (const CaptureError& error) {
        EXPECT_EQ(error.code(), "PREVIEW_ENCODE");
        EXPECT_EQ(error.message(), "Native preview encoding failed");
    }
}

}  // namespace
