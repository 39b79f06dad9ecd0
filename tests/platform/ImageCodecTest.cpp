#include "platform/JpegCodec.h"
#include "platform/PngEncoder.h"

#include <spng.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

using namespace qv;

namespace {

std::shared_ptr<PixelBuffer> gradient(int width, int height) {
    auto frame = PixelBuffer::create(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = frame->row(y) + x * 4;
            p[0] = static_cast<std::uint8_t>(x * 255 / width);   // B
            p[1] = static_cast<std::uint8_t>(y * 255 / height);  // G
            p[2] = 200;                                          // R
            p[3] = 255;
        }
    }
    return frame;
}

}  // namespace

TEST(JpegCodec, RejectsTruncatedAndForeignData) {
    JpegCodec codec;
    const auto frame = gradient(64, 64);
    const std::string jpeg = codec.encode(*frame, 80);
    EXPECT_FALSE(codec.decode(jpeg.data(), jpeg.size() / 2));
    const std::string text = "not a jpeg";
    EXPECT_FALSE(codec.readHeader(text.data(), text.size()));
    EXPECT_FALSE(codec.decode(text.data(), text.size()));
}

TEST(PngEncoder, WritesRgbaPixelsExactly) {
    const auto frame = gradient(33, 17);  // odd width: padded rows
    const std::string png = encodePNG(*frame);
    ASSERT_FALSE(png.empty());
    std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> context(spng_ctx_new(0), spng_ctx_free);
    spng_set_png_buffer(context.get(), png.data(), png.size());
    spng_ihdr header{};
    ASSERT_EQ(spng_get_ihdr(context.get(), &header), 0);
    EXPECT_EQ(header.width, 33u);
    EXPECT_EQ(header.height, 17u);
    EXPECT_EQ(header.bit_depth, 8);
    EXPECT_EQ(header.color_type, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA);
    std::vector<std::uint8_t> rgba(33 * 17 * 4);
    ASSERT_EQ(spng_decode_image(context.get(), rgba.data(), rgba.size(), SPNG_FMT_RGBA8, 0), 0);
    for (int y = 0; y < 17; ++y) {
        for (int x = 0; x < 33; ++x) {
            const std::uint8_t* bgra = frame->row(y) + 4 * x;
            const std::uint8_t* out = rgba.data() + (y * 33 + x) * 4;
            ASSERT_EQ(out[0], bgra[2]);
            ASSERT_EQ(out[1], bgra[1]);
            ASSERT_EQ(out[2], bgra[0]);
            ASSERT_EQ(out[3], bgra[3]);
        }
    }
}
