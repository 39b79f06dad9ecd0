#pragma once

#include "device/DeviceSystem.h"
#include "device/linux/DeviceIo.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qv {

struct V4l2FrameRateRange {
    double minFps = 0;
    double maxFps = 0;
};

// One frame size of one pixel format, with its frame-rate ranges in the driver's order.
struct V4l2Format {
    std::uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    std::vector<V4l2FrameRateRange> ranges;
};

// A V4L2 capture node as the helper sees a camera.
struct V4l2Camera {
    std::string node;      // "/dev/videoN"
    std::string uniqueId;  // "v4l2:" + bus_info
    std::string name;      // the USB product string, else the driver's card name
    std::vector<V4l2Format> formats;
    // What the device runs now; the helper never changes it.
    V4l2Format active;
    std::optional<double> frameDurationSeconds;  // from VIDIOC_G_PARM, when the driver reports one
};

// The capture nodes under /dev, in node-number order. Metadata and output nodes are left out, as
// are nodes that cannot be opened.
std::vector<V4l2Camera> listV4l2Cameras(DeviceIo& io);

// One node's description, or none when it is not a streaming camera or cannot be opened.
std::optional<V4l2Camera> describeV4l2Camera(DeviceIo& io, const std::string& node);

// Denied when a video node exists that this process may not open, else authorized.
AuthorizationStatus v4l2Permission(DeviceIo& io);

// A V4L2 pixel format as a four-character code read left to right ('YUYV' = 0x59555956).
std::uint32_t fourCharCode(std::uint32_t pixelFormat);

}  // namespace qv
