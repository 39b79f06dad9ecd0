#include "engine/Screenshot.h"

#include "platform/PixelBuffer.h"
#include "platform/TestPicture.h"
#include "protocol/CaptureError.h"
#include "protocol/Digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <spng.h>

using namespace qv;

namespace {

std::shared_ptr<PixelBuffer> picture(int width, int height) {
    auto frame = PixelBuffer::create(width, height);
    drawTestPicture(*frame, 5);
    return frame;
}

std::string codeOf(const std::function<void()>& work) {
    try {
        work();
    } catch (const CaptureError& error) {
        return error.code() + "/" + error.message();
    }
    return "none";
}

}  // namespace

TEST(Screenshot, PngIsTheFullFrameAsRgba) {
    const auto frame = picture(37, 21);
    const std::string png = screenshotPNG(*frame);

    spng_ctx* context = spng_ctx_new(0);
    ASSERT_EQ(spng_set_png_buffer(context, png.data(), png.size()), 0);
    spng_ihdr header{};
    ASSERT_EQ(spng_get_ihdr(context, &header), 0);
    EXPECT_EQ(header.width, 37u);
    EXPECT_EQ(header.height, 21u);
    EXPECT_EQ(header.bit_depth, 8);
    EXPECT_EQ(header.color_type, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA);
    std::vector<std::uint8_t> rgba(37 * 21 * 4);
    ASSERT_EQ(spng_decode_image(context, rgba.data(), rgba.size(), SPNG_FMT_RGBA8, 0), 0);
    spng_ctx_free(context);
    for (int y = 0; y < 21; ++y) {
        for (int x = 0; x < 37; ++x) {
            const std::uint8_t* bgra = frame->row(y) + 4 * x;
            const std::uint8_t* out = rgba.data() + (y * 37 + x) * 4;
            ASSERT_EQ(out[0], bgra[2]);
            ASSERT_EQ(out[1], bgra[1]);
            ASSERT_EQ(out[2], bgra[0]);
            ASSERT_EQ(out[3], bgra[3]);
        }
    }
}

TEST(Screenshot, BoundIsInclusiveOfTheLimit) {
    const auto frame = picture(64, 64);
    const auto size = static_cast<std::int64_t>(screenshotPNG(*frame).size());
    EXPECT_EQ(static_cast<std::int64_t>(screenshotPNG(*frame, size).size()), size);
    EXPECT_EQ(codeOf([&] { screenshotPNG(*frame, size - 1); }),
              "SCREENSHOT_BOUND/Native PNG exceeds the screenshot limit");
}

TEST(Screenshot, BasenameIsFreshAndFollowsTheNameRule) {
    const std::string a = screenshotBasename();
    const std::string b = screenshotBasename();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), 49u);
    EXPECT_EQ(a.rfind("snapshot-", 0), 0u);
    EXPECT_EQ(a.substr(45), ".png");
    EXPECT_TRUE(std::all_of(a.begin(), a.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    }));
}

TEST(Screenshot, RecordHashesTheBytesAndReportsTheFrame) {
    const std::string data = "not really a png";
    const Json record = imageMetadata(data, "snapshot-x.png", "png", 4096, 2048, 42, 12.5);
    EXPECT_EQ(record, (Json{{"frameId", 42},
                            {"basename", "snapshot-x.png"},
                            {"bytes", 16},
                            {"sha256", sha256Hex(data)},
                            {"width", 4096},
                            {"height", 2048},
                            {"sourcePTS", 12.5},
                            {"format", "png"}}));
    EXPECT_TRUE(imageMetadata(data, "b", "png", 1, 1, 0, std::nullopt)["sourcePTS"].is_number_float());
    EXPECT_EQ(imageMetadata(data, "b", "png", 1, 1, 0, std::nullopt)["sourcePTS"], 0.0);
}
