#include "device/linux/FrameConverter.h"

#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include <string>

using namespace qv;

TEST(FrameConverter, PackedFormatsKeepTheirChannelsAndStrideAndNV12SharesTheLumaStride) {
    // Two rows of one pixel, R = 10, G = 20, B = 30, in each layout, padded to 8 bytes.
    const std::pair<std::uint32_t, std::vector<std::uint8_t>> cases[] = {
        {V4L2_PIX_FMT_RGB24, {10, 20, 30, 0, 0, 0, 0, 0, 10, 20, 30}},
        {V4L2_PIX_FMT_BGR24, {30, 20, 10, 0, 0, 0, 0, 0, 30, 20, 10}},
        {V4L2_PIX_FMT_XBGR32, {30, 20, 10, 0, 0, 0, 0, 0, 30, 20, 10, 0}},
        {V4L2_PIX_FMT_XRGB32, {0, 10, 20, 30, 0, 0, 0, 0, 0, 10, 20, 30}},
        {V4L2_PIX_FMT_RGBX32, {10, 20, 30, 0, 0, 0, 0, 0, 10, 20, 30, 0}},
    };
    for (const auto& [format, bytes] : cases) {
        const auto frame = FrameConverter({format, 1, 2, 8}).convert(bytes.data(), bytes.size());
        ASSERT_TRUE(frame) << format;
        const std::uint8_t* p = frame->row(1);
        EXPECT_EQ((std::vector<std::uint8_t>(p, p + 4)), (std::vector<std::uint8_t>{30, 20, 10, 255}))
            << format;
    }
    // NV12 uses the luma stride for both planes: 2 × 2 mid-gray, rows padded to 4 bytes.
    const std::vector<std::uint8_t> nv12 = {126, 126, 0, 0, 126, 126, 0, 0, 128, 128, 0, 0};
    const auto gray = FrameConverter({V4L2_PIX_FMT_NV12, 2, 2, 4}).convert(nv12.data(), nv12.size());
    ASSERT_TRUE(gray);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(gray->row(1)[4 + i], 128, 2);
    EXPECT_FALSE(FrameConverter::supports(V4L2_PIX_FMT_SGRBG8));
}

TEST(FrameConverter, AJpegFrameMustBeWholeAndHaveTheStreamedSize) {
    auto source = PixelBuffer::create(16, 16);
    std::fill(source->data(), source->data() + source->bytesPerRow() * 16, 0x80);
    const std::string jpeg = JpegCodec().encode(*source, 80);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(jpeg.data());
    FrameConverter converter({V4L2_PIX_FMT_MJPEG, 16, 16, 0});
    ASSERT_TRUE(converter.convert(bytes, jpeg.size()));
    EXPECT_FALSE(converter.convert(bytes, jpeg.size() / 2));
    EXPECT_FALSE(FrameConverter({V4L2_PIX_FMT_MJPEG, 8, 8, 0}).convert(bytes, jpeg.size()));

    // A damaged header that claims 60000 × 60000 is dropped before anything is allocated for it.
    std::string damaged = jpeg;
    const auto sof = damaged.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    for (const std::size_t at : {sof + 5, sof + 7}) {
        damaged[at] = static_cast<char>(60000 >> 8);
        damaged[at + 1] = static_cast<char>(60000 & 0xFF);
    }
    EXPECT_FALSE(converter.convert(reinterpret_cast<const std::uint8_t*>(damaged.data()), damaged.size()));
}

TEST(FrameConverter, ABufferTooSmallForItsRowsGivesNoFrame) {
    // All but the first two were found by fuzzing: they used to pass the size check and convert,
    // reading past the buffer's end. The cases that convert are the smallest buffers that do fit.
    struct Case {
        FrameConverter::Layout layout;
        std::size_t size;
        bool converts;
    };
    const Case cases[] = {
        // Short of the stride's rows, or of the chroma plane after them.
        {{V4L2_PIX_FMT_YUYV, 4, 2, 8}, 10, false},
        {{V4L2_PIX_FMT_NV12, 4, 2, 4}, 10, false},
        // An odd width still takes a whole 4:2:2 pair of four bytes per row.
        {{V4L2_PIX_FMT_YUYV, 1, 5, 0}, 2 * 5, false},
        {{V4L2_PIX_FMT_UYVY, 3, 2, 0}, 6 * 2, false},
        {{V4L2_PIX_FMT_YUYV, 3, 2, 0}, 8 * 2, true},
        // A stride narrower than the luma row, or than an odd width's chroma row.
        {{V4L2_PIX_FMT_NV12, 64, 2, 1}, 1 * 2 + 1, false},
        {{V4L2_PIX_FMT_NV12, 3, 2, 3}, 3 * 2 + 3, false},
        {{V4L2_PIX_FMT_YUV420, 3, 2, 3}, 3 * 2 + 2 * 1, false},
        {{V4L2_PIX_FMT_YUV420, 3, 2, 4}, 4 * 2 + 2 * 2, true},
    };
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> bytes(c.size, 0x80);
        EXPECT_EQ(static_cast<bool>(FrameConverter(c.layout).convert(bytes.data(), bytes.size())), c.converts)
            << c.layout.pixelFormat << " " << c.layout.width << "x" << c.layout.height;
    }
}
