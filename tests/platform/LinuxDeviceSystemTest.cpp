#include "FakeUvcDevice.h"
#include "platform/CaptureSession.h"
#include "platform/LinuxDeviceSystem.h"
#include "platform/Semaphore.h"
#include "platform/VideoDataOutput.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace qv;
using qvtest::FakeUvcDevice;

namespace {

FakeUvcDevice::Node player() {
    FakeUvcDevice::Node node;
    node.card = "Quorvelle - Player 07: Quorvel";
    node.busInfo = "usb-0000:00:14.0-4";
    node.product = "Quorvelle - Player 07";
    FakeUvcDevice::Size size{8, 2, FakeUvcDevice::IntervalKind::discrete, {{1, 60}, {1, 30}}, {}, {}, {}};
    node.formats.push_back({V4L2_PIX_FMT_YUYV, {size}, false});
    node.width = 8;
    node.height = 2;
    node.bytesPerLine = 16;
    node.sizeImage = 32;
    node.timePerFrame = {1, 60};
    return node;
}

struct Frames final : VideoDataOutputDelegate {
    std::atomic<int> count{0};
    Semaphore arrived;
    void didOutputVideo(const VideoSample&) override {
        ++count;
        arrived.signal();
    }
    void didDropVideo() override {}
};

}  // namespace

TEST(LinuxDeviceSystem, ListsAndStreamsTheKernelsCamerasAndAuthorizesAtOnce) {
    FakeUvcDevice kernel;
    kernel.addNode(0, player());
    LinuxDeviceSystem system(kernel);
    const auto cameras = system.devices(MediaType::video);
    ASSERT_EQ(cameras.size(), 1u);
    const auto& camera = cameras[0];
    EXPECT_EQ(camera->mediaType(), MediaType::video);
    EXPECT_EQ(camera->localizedName(), "Quorvelle - Player 07");
    ASSERT_EQ(camera->formats().size(), 1u);
    EXPECT_EQ(camera->formats()[0].frameRateRanges, (std::vector<FrameRateRange>{{60, 60}, {30, 30}}));
    EXPECT_DOUBLE_EQ(camera->activeMaxFrameDuration(), 1.0 / 60);

    EXPECT_EQ(system.authorizationStatus(MediaType::video), AuthorizationStatus::authorized);
    Semaphore answered;
    std::atomic<bool> granted{false};
    system.requestAccess(MediaType::video, [&](bool access) {
        granted = access;
        answered.signal();
    });
    ASSERT_TRUE(answered.wait(10));
    EXPECT_TRUE(granted);

    // A session streams it and confirms its release.
    auto frames = std::make_shared<Frames>();
    auto output = std::make_shared<VideoDataOutput>();
    output->setDelegate(frames);
    CaptureSession session;
    const auto input = camera->createInput();
    ASSERT_TRUE(session.canAddInput(input));
    session.addInput(input);
    session.addOutput(output);
    session.startRunning();
    ASSERT_TRUE(session.isRunning());
    ASSERT_TRUE(kernel.pushFrame(std::vector<std::uint8_t>(32, 128), 0));
    ASSERT_TRUE(frames->arrived.wait(10));
    session.stopRunning();
    session.removeInput(input);
    session.removeOutput(output);
    EXPECT_TRUE(session.inputs().empty());
    EXPECT_TRUE(kernel.released());
    EXPECT_EQ(frames->count.load(), 1);
}
