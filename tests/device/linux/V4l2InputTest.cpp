#include "FakeUvcDevice.h"
#include "base/Runtime.h"
#include "device/VideoDataOutput.h"
#include "device/linux/V4l2Device.h"
#include "device/linux/V4l2Input.h"
#include "device/linux/V4l2Inventory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace qv;
using qvtest::FakeUvcDevice;

namespace {

constexpr double patience = 10.0;

// Collects what the video data output hands on; its fields change and are read on controlQueue.
class Receiver final : public VideoDataOutputDelegate {
public:
    void didOutputVideo(const VideoSample& sample) override { samples.push_back(sample); }
    void didDropVideo() override { ++drops; }

    // Polls until they have arrived; each read lets the output take the next frame.
    bool waitFor(std::size_t frames, int dropped) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(patience);
        while (std::chrono::steady_clock::now() < deadline) {
            bool met = false;
            controlQueue().sync([&] { met = samples.size() >= frames && drops >= dropped; });
            if (met) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    std::vector<VideoSample> samples;
    int drops = 0;
};

// 16 × 8 YUYV, red on the left and white on the right, rows padded to 40 bytes.
constexpr int width = 16, height = 8, stride = 40;

std::vector<std::uint8_t> yuyvFrame() {
    std::vector<std::uint8_t> bytes(stride * height, 0xEE);
    for (int y = 0; y < height; ++y) {
        for (int pair = 0; pair < width / 2; ++pair) {
            const bool red = pair < width / 4;
            std::uint8_t* p = bytes.data() + y * stride + pair * 4;
            p[0] = p[2] = red ? 81 : 235;
            p[1] = red ? 90 : 128;
            p[3] = red ? 240 : 128;
        }
    }
    return bytes;
}

class V4l2InputTest : public ::testing::Test {
protected:
    void SetUp() override {
        kernel.addNode(
            0, {"Quorvelle - Player 01", "usb-0000:00:14.0-2", V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING,
                V4L2_PIX_FMT_YUYV, width, height, stride, stride * height});
        // The metadata node a UVC camera also has is not a camera.
        kernel.addNode(1, {"Quorvelle - Player 01", "usb-0000:00:14.0-2",
                           V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING, V4L2_PIX_FMT_YUYV, 0, 0, 0, 0});
        const auto cameras = listV4l2Cameras(kernel);
        ASSERT_EQ(cameras.size(), 1u);
        device = std::make_shared<V4l2Device>(kernel, cameras[0]);
        input = std::static_pointer_cast<V4l2Input>(device->createInput());
        output->setDelegate(receiver);
        ASSERT_TRUE(input->start({output}));
        ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), 7, 0, {100, 500000}));
        ASSERT_TRUE(receiver->waitFor(1, 0));
    }

    FakeUvcDevice kernel;
    std::shared_ptr<Receiver> receiver = std::make_shared<Receiver>();
    std::shared_ptr<VideoDataOutput> output = std::make_shared<VideoDataOutput>();
    std::shared_ptr<V4l2Device> device;
    std::shared_ptr<V4l2Input> input;
};

}  // namespace

TEST_F(V4l2InputTest, FramesArriveAsBgraDropsAreCountedAndStopIsBoundedAndReleasesAll) {
    VideoSample first;
    controlQueue().sync([&] { first = receiver->samples.at(0); });
    EXPECT_DOUBLE_EQ(first.presentationTime, 100.5);
    ASSERT_EQ(first.image->width(), width);
    ASSERT_EQ(first.image->height(), height);
    for (int y : {0, height - 1}) {
        const std::uint8_t* red = first.image->row(y) + 2 * 4;
        const std::uint8_t* white = first.image->row(y) + 13 * 4;
        for (int c = 0; c < 4; ++c) {
            EXPECT_NEAR(red[c], c == 2 || c == 3 ? 255 : 0, 3) << "red, channel " << c << ", row " << y;
            EXPECT_NEAR(white[c], 255, 3) << "white, channel " << c << ", row " << y;
        }
    }

    // The driver skipped sequence numbers 8 and 9, then filled a buffer with an error.
    ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), 10));
    ASSERT_TRUE(receiver->waitFor(2, 2));
    ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), 11, V4L2_BUF_FLAG_ERROR));
    ASSERT_TRUE(receiver->waitFor(2, 3));
    ASSERT_TRUE(kernel.waitForRequeued(3, patience));

    const auto before = std::chrono::steady_clock::now();
    input->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));  // bounded
    EXPECT_FALSE(input->streaming());
    EXPECT_FALSE(kernel.pushFrame(yuyvFrame(), 12));  // no buffer is queued any more
    EXPECT_TRUE(input->release());
    EXPECT_TRUE(kernel.released());
    controlQueue().sync([&] {
        EXPECT_EQ(receiver->samples.size(), 2u);
        EXPECT_EQ(receiver->drops, 3);
    });
}

TEST_F(V4l2InputTest, UnpluggingEndsTheStreamAndTheNodeIsStillReleased) {
    kernel.unplug();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (input->streaming() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(input->streaming());
    EXPECT_TRUE(input->unplugged());
    input->stop();
    EXPECT_TRUE(input->release());
    EXPECT_TRUE(kernel.released());
}
