#include "platform/FrameConverter.h"

#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace qv;

namespace {

std::vector<std::uint8_t> pixel(const PixelBuffer& frame, int x, int y) {
    const std::uint8_t* p = frame.row(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

}  // namespace

TEST(FrameConverter, PackedRgbFormatsKeepTheirChannelsAndBecomeOpaque) {
    // One pixel, R = 10, G = 20, B = 30, in each layout; rows padded to 8 bytes.
    struct Case {
        std::uint32_t format;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {V4L2_PIX_FMT_RGB24, {10, 20, 30, 0, 0, 0, 0, 0, 10, 20, 30}},
        {V4L2_PIX_FMT_BGR24, {30, 20, 10, 0, 0, 0, 0, 0, 30, 20, 10}},
        {V4L2_PIX_FMT_XBGR32, {30, 20, 10, 0, 0, 0, 0, 0, 30, 20, 10, 0}},
        {V4L2_PIX_FMT_XRGB32, {0, 10, 20, 30, 0, 0, 0, 0, 0, 10, 20, 30}},
        {V4L2_PIX_FMT_RGBX32, {10, 20, 30, 0, 0, 0, 0, 0, 10, 20, 30, 0}},
    };
    for (const auto& c : cases) {
        FrameConverter converter({c.format, 1, 2, 8});
        const auto frame = converter.convert(c.bytes.data(), c.bytes.size());
        ASSERT_TRUE(frame) << c.format;
        EXPECT_EQ(pixel(*frame, 0, 0), (std::vector<std::uint8_t>{30, 20, 10, 255})) << c.format;
        EXPECT_EQ(pixel(*frame, 0, 1), (std::vector<std::uint8_t>{30, 20, 10, 255})) << c.format;
    }
}

TEST(FrameConverter, Nv12UsesTheLumaStrideForBothPlanes) {
    // 2 × 2 mid-gray, rows padded to 4 bytes.
    const std::vector<std::uint8_t> bytes = {126, 126, 0, 0, 126, 126, 0, 0, 128, 128, 0, 0};
    FrameConverter converter({V4L2_PIX_FMT_NV12, 2, 2, 4});
    const auto frame = converter.convert(bytes.data(), bytes.size());
    ASSERT_TRUE(frame);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(pixel(*frame, 1, 1)[i], 128, 2);
}

TEST(FrameConverter, ShortBuffersAndUnknownFormatsGiveNoFrame) {
    const std::vector<std::uint8_t> bytes(10, 0);
    EXPECT_FALSE(FrameConverter({V4L2_PIX_FMT_YUYV, 4, 2, 8}).convert(bytes.data(), bytes.size()));
    EXPECT_FALSE(FrameConverter({V4L2_PIX_FMT_NV12, 4, 2, 4}).convert(bytes.data(), bytes.size()));
    EXPECT_FALSE(FrameConverter({V4L2_PIX_FMT_SGRBG8, 2, 2, 2}).convert(bytes.data(), bytes.size()));
    EXPECT_FALSE(FrameConverter::supports(V4L2_PIX_FMT_SGRBG8));
    EXPECT_TRUE(FrameConverter::supports(V4L2_PIX_FMT_MJPEG));
}

TEST(FrameConverter, AJpegFrameMustHaveTheStreamedSize) {
    auto source = PixelBuffer::create(16, 16);
    std::fill(source->data(), source->data() + source->bytesPerRow() * 16, 0x80);
    JpegCodec codec;
    const std::string jpeg = codec.encode(*source, 80);
    FrameConverter converter({V4L2_PIX_FMT_MJPEG, 16, 16, 0});
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(jpeg.data());
    const auto frame = converter.convert(bytes, jpeg.size());
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 16);

    // A damaged header that claims 60000 × 60000 is dropped before anything is allocated for it.
    std::string damaged = jpeg;
    const auto sof = damaged.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    for (const std::size_t at : {sof + 5, sof + 7}) {
        damaged[at] = static_cast<char>(60000 >> 8);
        damaged[at + 1] = static_cast<char>(60000 & 0xFF);
    }
    EXPECT_FALSE(converter.convert(reinterpret_cast<const std::uint8_t*>(damaged.data()), damaged.size()));
    EXPECT_FALSE(FrameConverter({V4L2_PIX_FMT_MJPEG, 8, 8, 0}).convert(bytes, jpeg.size()));
}
