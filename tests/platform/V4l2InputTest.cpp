#include "FakeUvcDevice.h"
#include "platform/JpegCodec.h"
#include "platform/Runtime.h"
#include "platform/Semaphore.h"
#include "platform/V4l2Device.h"
#include "platform/V4l2Input.h"
#include "platform/VideoDataOutput.h"
#include "protocol/CaptureError.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <type_traits>

using namespace qv;
using qvtest::FakeUvcDevice;

namespace {

constexpr double patience = 10.0;

struct Color {
    int b, g, r;
};

// Collects what the video data output hands on. Its fields change only on controlQueue, so they
// are read there too.
class Receiver final : public VideoDataOutputDelegate {
public:
    void didOutputVideo(const VideoSample& sample) override {
        EXPECT_TRUE(controlQueue().isCurrent());
        samples_.push_back(sample);
    }
    void didDropVideo() override {
        EXPECT_TRUE(controlQueue().isCurrent());
        ++drops_;
    }

    // Polls until they have arrived; each read waits for the delivery before it, so that the
    // output takes the next frame.
    bool waitFor(std::size_t frames, std::int64_t drops) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(patience);
        while (frameCount() < frames || this->drops() < drops) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    std::size_t frameCount() {
        return read([&] { return samples_.size(); });
    }
    std::int64_t drops() {
        return read([&] { return drops_; });
    }
    PixelBufferRef frame(std::size_t index) {
        return read([&] { return samples_.at(index).image; });
    }
    double time(std::size_t index) {
        return read([&] { return samples_.at(index).presentationTime; });
    }

private:
    template <typename Read>
    std::invoke_result_t<Read> read(Read get) {
        std::invoke_result_t<Read> value{};
        controlQueue().sync([&] { value = get(); });
        return value;
    }
    std::vector<VideoSample> samples_;
    std::int64_t drops_ = 0;
};

// Everything posted to controlQueue so far has run.
void drainControlQueue() {
    controlQueue().sync([] {});
}

FakeUvcDevice::Node camera(std::uint32_t pixelFormat, int width, int height, std::uint32_t bytesPerLine,
                           std::uint32_t sizeImage) {
    FakeUvcDevice::Node node;
    node.card = "Quorvelle - Player 01: Quorvel";
    node.busInfo = "usb-0000:00:14.0-2";
    node.product = "Quorvelle - Player 01";
    FakeUvcDevice::Size size{width, height, FakeUvcDevice::IntervalKind::discrete, {{1, 60}}, {}, {}, {}};
    node.formats.push_back({pixelFormat, {size}, false});
    node.pixelFormat = pixelFormat;
    node.width = width;
    node.height = height;
    node.bytesPerLine = bytesPerLine;
    node.sizeImage = sizeImage;
    return node;
}

// BT.601 limited range, as UVC cameras send YUYV.
Color fromYuv(int y, int u, int v) {
    auto clamp = [](double x) { return std::min(255, std::max(0, static_cast<int>(x + 0.5))); };
    const double luma = 1.164 * (y - 16);
    return {clamp(luma + 2.018 * (u - 128)), clamp(luma - 0.813 * (v - 128) - 0.391 * (u - 128)),
            clamp(luma + 1.596 * (v - 128))};
}

void expectPixel(const PixelBuffer& frame, int x, int y, Color expected, int tolerance) {
    const std::uint8_t* p = frame.row(y) + x * 4;
    EXPECT_NEAR(p[0], expected.b, tolerance) << "blue at " << x << "," << y;
    EXPECT_NEAR(p[1], expected.g, tolerance) << "green at " << x << "," << y;
    EXPECT_NEAR(p[2], expected.r, tolerance) << "red at " << x << "," << y;
    EXPECT_EQ(p[3], 255) << "alpha at " << x << "," << y;
}

// 16 × 8 YUYV in four vertical bands (red, green, white, black), rows padded to 40 bytes.
constexpr int yuyvWidth = 16, yuyvHeight = 8, yuyvStride = 40;
constexpr int bands[4][3] = {{81, 90, 240}, {145, 54, 34}, {235, 128, 128}, {16, 128, 128}};

std::vector<std::uint8_t> yuyvFrame() {
    std::vector<std::uint8_t> bytes(yuyvStride * yuyvHeight, 0xEE);
    for (int y = 0; y < yuyvHeight; ++y) {
        for (int pair = 0; pair < yuyvWidth / 2; ++pair) {
            const auto& band = bands[pair / 2];
            std::uint8_t* p = bytes.data() + y * yuyvStride + pair * 4;
            p[0] = static_cast<std::uint8_t>(band[0]);
            p[1] = static_cast<std::uint8_t>(band[1]);
            p[2] = static_cast<std::uint8_t>(band[0]);
            p[3] = static_cast<std::uint8_t>(band[2]);
        }
    }
    return bytes;
}

FakeUvcDevice::Node yuyvCamera() {
    return camera(V4L2_PIX_FMT_YUYV, yuyvWidth, yuyvHeight, yuyvStride, yuyvStride * yuyvHeight);
}

// 64 × 32 in four solid quadrants that line up with JPEG's 16 × 16 blocks.
constexpr Color quadrants[4] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {128, 128, 128}};

std::vector<std::uint8_t> jpegFrame() {
    auto picture = PixelBuffer::create(64, 32);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 64; ++x) {
            const Color c = quadrants[(y / 16) * 2 + x / 32];
            std::uint8_t* p = picture->row(y) + x * 4;
            p[0] = static_cast<std::uint8_t>(c.b);
            p[1] = static_cast<std::uint8_t>(c.g);
            p[2] = static_cast<std::uint8_t>(c.r);
            p[3] = 255;
        }
    }
    JpegCodec codec;
    const std::string jpeg = codec.encode(*picture, 95);
    return std::vector<std::uint8_t>(jpeg.begin(), jpeg.end());
}

// The same JPEG without its Huffman tables (DHT segments), as many UVC cameras send Motion-JPEG.
std::vector<std::uint8_t> withoutHuffmanTables(const std::vector<std::uint8_t>& jpeg) {
    std::vector<std::uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    std::size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        const std::uint8_t marker = jpeg[at + 1];
        if (marker == 0xDA) break;  // the entropy-coded data follows the scan header unchanged
        const std::size_t length = (jpeg[at + 2] << 8) | jpeg[at + 3];
        if (marker != 0xC4) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + 2 + length);
        at += 2 + length;
    }
    out.insert(out.end(), jpeg.begin() + at, jpeg.end());
    return out;
}

void expectQuadrants(const PixelBuffer& frame) {
    ASSERT_EQ(frame.width(), 64);
    ASSERT_EQ(frame.height(), 32);
    for (int q = 0; q < 4; ++q) expectPixel(frame, (q % 2) * 32 + 16, (q / 2) * 16 + 8, quadrants[q], 8);
}

// A camera on the fake kernel, opened and streaming into a video data output, as a session
// would run it.
class V4l2InputTest : public ::testing::Test {
protected:
    void open(const FakeUvcDevice::Node& node) {
        kernel.addNode(0, node);
        auto camera = describeV4l2Camera(kernel, "/dev/video0");
        ASSERT_TRUE(camera);
        device = std::make_shared<V4l2Device>(kernel, *camera);
        input = std::static_pointer_cast<V4l2Input>(device->createInput());
        output->setDelegate(receiver);
    }
    void start() { ASSERT_TRUE(input->start({output})); }

    FakeUvcDevice kernel;
    std::shared_ptr<Receiver> receiver = std::make_shared<Receiver>();
    std::shared_ptr<VideoDataOutput> output = std::make_shared<VideoDataOutput>();
    std::shared_ptr<V4l2Device> device;
    std::shared_ptr<V4l2Input> input;
};

}  // namespace

TEST_F(V4l2InputTest, YuyvFramesArriveAsBgraWithTheirMonotonicTimes) {
    open(yuyvCamera());
    start();
    ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), 0, 0, {100, 500000}));
    ASSERT_TRUE(receiver->waitFor(1, 0));

    const auto frame = receiver->frame(0);
    ASSERT_EQ(frame->width(), yuyvWidth);
    ASSERT_EQ(frame->height(), yuyvHeight);
    for (int y : {0, yuyvHeight - 1}) {
        for (int band = 0; band < 4; ++band) {
            const Color expected = fromYuv(bands[band][0], bands[band][1], bands[band][2]);
            expectPixel(*frame, band * 4 + 1, y, expected, 3);
        }
    }
    expectPixel(*frame, 1, 0, {0, 0, 255}, 3);  // the red band really is red
    EXPECT_DOUBLE_EQ(receiver->time(0), 100.5);
    EXPECT_EQ(receiver->drops(), 0);
}

TEST_F(V4l2InputTest, MjpegFramesDecodeWithAndWithoutHuffmanTables) {
    const auto jpeg = jpegFrame();
    const auto bare = withoutHuffmanTables(jpeg);
    ASSERT_LT(bare.size(), jpeg.size());
    open(camera(V4L2_PIX_FMT_MJPEG, 64, 32, 0, 64 * 32 * 2));
    start();

    ASSERT_TRUE(kernel.pushFrame(jpeg, 0));
    ASSERT_TRUE(receiver->waitFor(1, 0));
    ASSERT_TRUE(kernel.pushFrame(bare, 1));
    ASSERT_TRUE(receiver->waitFor(2, 0));
    expectQuadrants(*receiver->frame(0));
    expectQuadrants(*receiver->frame(1));
    // The default tables are the ones the encoder used, so the pictures are identical.
    for (int y = 0; y < 32; ++y) {
        EXPECT_EQ(0, std::memcmp(receiver->frame(0)->row(y), receiver->frame(1)->row(y), 64 * 4));
    }

    // Bytes that are not a JPEG are a lost frame, not a stopped stream.
    ASSERT_TRUE(kernel.pushFrame({1, 2, 3, 4}, 2));
    ASSERT_TRUE(receiver->waitFor(2, 1));
    ASSERT_TRUE(kernel.pushFrame(jpeg, 3));
    ASSERT_TRUE(receiver->waitFor(3, 1));
}

TEST_F(V4l2InputTest, SequenceGapsAndErrorBuffersCountAsDrops) {
    open(yuyvCamera());
    start();
    ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), 7));
    ASSERT_TRUE(receiver->waitFor(1, 0));
    // The driver skipped sequence numbers 8 and 9.
    ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), 10));
    ASSERT_TRUE(receiver->waitFor(2, 2));
    ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), 11, V4L2_BUF_FLAG_ERROR));
    ASSERT_TRUE(receiver->waitFor(2, 3));
    ASSERT_TRUE(kernel.waitForRequeued(3, patience));
    drainControlQueue();
    EXPECT_EQ(receiver->frameCount(), 2u);
    EXPECT_EQ(receiver->drops(), 3);
}

TEST_F(V4l2InputTest, FramesArrivingWhileOneIsInFlightAreDroppedNotQueued) {
    open(yuyvCamera());
    start();
    Semaphore held, release;
    controlQueue().async([&] {
        held.signal();
        release.wait(30);
    });
    ASSERT_TRUE(held.wait(patience));

    for (std::uint32_t sequence = 0; sequence < 3; ++sequence) {
        ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), sequence));
        ASSERT_TRUE(kernel.waitForRequeued(static_cast<int>(sequence) + 1, patience));
    }
    release.signal();
    ASSERT_TRUE(receiver->waitFor(1, 2));
    drainControlQueue();
    EXPECT_EQ(receiver->frameCount(), 1u);
    EXPECT_EQ(receiver->drops(), 2);

    // Once the frame has been taken, the next one is delivered again.
    ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), 3));
    ASSERT_TRUE(receiver->waitFor(2, 2));
}

TEST_F(V4l2InputTest, UnpluggingEndsTheStreamAndTheNodeIsStillReleased) {
    open(yuyvCamera());
    start();
    ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), 0));
    ASSERT_TRUE(receiver->waitFor(1, 0));

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
    drainControlQueue();
    EXPECT_EQ(receiver->frameCount(), 1u);
}

TEST_F(V4l2InputTest, StopEndsDeliveryAndReleaseGivesBackBuffersAndNode) {
    open(yuyvCamera());
    EXPECT_FALSE(kernel.released());  // opened by createInput
    start();
    EXPECT_TRUE(kernel.streaming());
    ASSERT_TRUE(kernel.pushFrame(yuyvFrame(), 0));
    ASSERT_TRUE(receiver->waitFor(1, 0));

    input->stop();
    EXPECT_FALSE(input->streaming());
    EXPECT_FALSE(kernel.streaming());
    EXPECT_FALSE(kernel.pushFrame(yuyvFrame(), 1));  // no buffer is queued any more
    EXPECT_TRUE(input->release());
    EXPECT_TRUE(kernel.released());
    drainControlQueue();
    EXPECT_EQ(receiver->frameCount(), 1u);
    EXPECT_EQ(receiver->drops(), 0);
}

TEST_F(V4l2InputTest, AFormatThatCannotBeConvertedOrAMissingNodeCannotBeOpened) {
    kernel.addNode(0, camera(V4L2_PIX_FMT_SGRBG8, 16, 8, 16, 128));
    const auto camera = describeV4l2Camera(kernel, "/dev/video0");
    ASSERT_TRUE(camera);  // listed, but it cannot stream
    const auto raw = std::make_shared<V4l2Device>(kernel, *camera);
    EXPECT_THROW(raw->createInput(), PlatformError);
    EXPECT_TRUE(kernel.released());
    kernel.unplug();
    EXPECT_THROW(raw->createInput(), PlatformError);
}

TEST_F(V4l2InputTest, TheListedDeviceDescribesItsFormatsAndActiveFormat) {
    open(yuyvCamera());
    ASSERT_EQ(device->formats().size(), 1u);
    const auto active = device->activeFormat();
    ASSERT_TRUE(active);
    EXPECT_EQ(active->width, yuyvWidth);
    EXPECT_EQ(active->mediaSubType, 0x59555956u);  // 'YUYV'
    EXPECT_EQ(active->frameRateRanges, (std::vector<FrameRateRange>{{60, 60}}));
    EXPECT_DOUBLE_EQ(device->activeMinFrameDuration(), 1.0 / 30);
    EXPECT_EQ(device->localizedName(), "Quorvelle - Player 01");
}
