#include "FakeUvcDevice.h"
#include "platform/V4l2Inventory.h"

#include <gtest/gtest.h>

using namespace qv;
using qvtest::FakeUvcDevice;

namespace {

FakeUvcDevice::Node playerCamera() {
    FakeUvcDevice::Node node;
    node.card = "Quorvelle - Player 01: Quorvel";  // cut and extended by the driver
    node.busInfo = "usb-0000:00:14.0-2";
    node.product = "Quorvelle - Player 01";
    FakeUvcDevice::Size large{160, 144, FakeUvcDevice::IntervalKind::discrete, {{1, 60}, {1, 30}}, {},
                              {},  {}};
    FakeUvcDevice::Size small{80, 72, FakeUvcDevice::IntervalKind::discrete, {{1, 60}}, {}, {}, {}};
    node.formats.push_back({V4L2_PIX_FMT_YUYV, {large, small}, false});
    FakeUvcDevice::Size stepwise{160,    144,    FakeUvcDevice::IntervalKind::stepwise, {}, {1, 60},
                                 {1, 5}, {1, 60}};
    node.formats.push_back({V4L2_PIX_FMT_MJPEG, {stepwise}, false});
    FakeUvcDevice::Size low{16, 16, FakeUvcDevice::IntervalKind::continuous, {}, {1, 25}, {2, 1}, {}};
    FakeUvcDevice::Size high{64, 48, FakeUvcDevice::IntervalKind::continuous, {}, {1, 25}, {2, 1}, {}};
    node.formats.push_back({V4L2_PIX_FMT_NV12, {low, high}, true});
    node.pixelFormat = V4L2_PIX_FMT_YUYV;
    node.width = 160;
    node.height = 144;
    node.bytesPerLine = 320;
    node.sizeImage = 320 * 144;
    node.timePerFrame = {1, 60};
    return node;
}

FakeUvcDevice::Node metadataNode(const FakeUvcDevice::Node& camera) {
    FakeUvcDevice::Node node = camera;
    node.deviceCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    node.formats.clear();
    return node;
}

FakeUvcDevice::Node laptopCamera() {
    FakeUvcDevice::Node node;
    node.card = "Integrated Camera";
    node.busInfo = "platform:ipu";
    FakeUvcDevice::Size size{640, 480, FakeUvcDevice::IntervalKind::discrete, {{1, 30}}, {}, {}, {}};
    node.formats.push_back({V4L2_PIX_FMT_YUYV, {size}, false});
    node.width = 640;
    node.height = 480;
    node.bytesPerLine = 1280;
    node.sizeImage = 1280 * 480;
    node.timePerFrame = {1, 30};
    return node;
}

}  // namespace

TEST(V4l2Inventory, ListsCaptureNodesInNodeOrderWithNamesIdsAndEveryIntervalKind) {
    FakeUvcDevice kernel;
    const auto player = playerCamera();
    kernel.addNode(0, player);
    kernel.addNode(1, metadataNode(player));
    kernel.addNode(10, laptopCamera());
    auto second = playerCamera();
    second.product = "Quorvelle - Player 02";
    second.busInfo = "usb-0000:00:14.0-3";
    kernel.addNode(2, second);

    const auto cameras = listV4l2Cameras(kernel);
    ASSERT_EQ(cameras.size(), 3u);
    EXPECT_EQ(cameras[0].node, "/dev/video0");
    EXPECT_EQ(cameras[0].name, "Quorvelle - Player 01");
    EXPECT_EQ(cameras[0].uniqueId, "v4l2:usb-0000:00:14.0-2");
    EXPECT_EQ(cameras[1].name, "Quorvelle - Player 02");
    EXPECT_EQ(cameras[2].node, "/dev/video10");
    EXPECT_EQ(cameras[2].name, "Integrated Camera");  // no USB parent: the card name
    EXPECT_EQ(cameras[2].uniqueId, "v4l2:platform:ipu");

    const auto& formats = cameras[0].formats;
    ASSERT_EQ(formats.size(), 5u);
    // Discrete intervals: one range per interval, in the driver's order.
    EXPECT_EQ(formats[0].pixelFormat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(formats[0].width, 160);
    EXPECT_EQ(formats[0].height, 144);
    ASSERT_EQ(formats[0].ranges.size(), 2u);
    EXPECT_DOUBLE_EQ(formats[0].ranges[0].minFps, 60);
    EXPECT_DOUBLE_EQ(formats[0].ranges[0].maxFps, 60);
    EXPECT_DOUBLE_EQ(formats[0].ranges[1].minFps, 30);
    EXPECT_EQ(formats[1].width, 80);
    ASSERT_EQ(formats[1].ranges.size(), 1u);
    // Stepwise intervals: one range from the longest to the shortest interval.
    EXPECT_EQ(formats[2].pixelFormat, V4L2_PIX_FMT_MJPEG);
    ASSERT_EQ(formats[2].ranges.size(), 1u);
    EXPECT_DOUBLE_EQ(formats[2].ranges[0].minFps, 5);
    EXPECT_DOUBLE_EQ(formats[2].ranges[0].maxFps, 60);
    // Stepwise sizes give both ends; continuous intervals one range (0.5 to 25 frames per second).
    EXPECT_EQ(formats[3].width, 16);
    EXPECT_EQ(formats[4].width, 64);
    EXPECT_EQ(formats[4].height, 48);
    ASSERT_EQ(formats[4].ranges.size(), 1u);
    EXPECT_DOUBLE_EQ(formats[4].ranges[0].minFps, 0.5);
    EXPECT_DOUBLE_EQ(formats[4].ranges[0].maxFps, 25);

    EXPECT_EQ(cameras[0].active.pixelFormat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(cameras[0].active.width, 160);
    EXPECT_EQ(cameras[0].active.ranges.size(), 2u);
    ASSERT_TRUE(cameras[0].frameDurationSeconds);
    EXPECT_DOUBLE_EQ(*cameras[0].frameDurationSeconds, 1.0 / 60);
    EXPECT_TRUE(kernel.released());
}

TEST(V4l2Inventory, TwoCaptureNodesOnOnePortGetDistinctIds) {
    FakeUvcDevice kernel;
    kernel.addNode(0, playerCamera());
    kernel.addNode(2, playerCamera());
    const auto cameras = listV4l2Cameras(kernel);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_NE(cameras[0].uniqueId, cameras[1].uniqueId);
}

TEST(V4l2Inventory, PermissionIsDeniedOnlyForANodeThatRefusesAccess) {
    FakeUvcDevice none;
    EXPECT_EQ(v4l2Permission(none), AuthorizationStatus::authorized);

    FakeUvcDevice open;
    open.addNode(0, playerCamera());
    EXPECT_EQ(v4l2Permission(open), AuthorizationStatus::authorized);

    FakeUvcDevice busy;
    auto node = playerCamera();
    node.openError = EBUSY;
    busy.addNode(0, node);
    EXPECT_EQ(v4l2Permission(busy), AuthorizationStatus::authorized);

    FakeUvcDevice locked;
    locked.addNode(0, playerCamera());
    node.openError = EACCES;
    locked.addNode(1, node);
    EXPECT_EQ(v4l2Permission(locked), AuthorizationStatus::denied);
    // A node that cannot be opened is not listed.
    EXPECT_EQ(listV4l2Cameras(locked).size(), 1u);
}
