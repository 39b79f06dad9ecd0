#include "device/linux/V4l2Inventory.h"

#include "base/Utf8.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <string_view>

namespace qv {

namespace {

// Bounds on every enumeration loop, so that a driver that never says "no more" cannot hang us.
constexpr std::uint32_t maxEntries = 64;

// A driver's text field; like every text a device gives, it reaches the host as UTF-8.
std::string fixedText(const std::uint8_t* text, std::size_t size) {
    const char* chars = reinterpret_cast<const char*>(text);
    return replacingInvalidUtf8(std::string_view(chars, strnlen(chars, size)));
}

// "/dev/video3" → "video3"
std::string baseName(const std::string& node) {
    const auto slash = node.rfind('/');
    return slash == std::string::npos ? node : node.substr(slash + 1);
}

std::optional<long> nodeNumber(const std::string& name) {
    static constexpr std::string_view prefix = "video";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    long number = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || number > 100000) return std::nullopt;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

std::vector<std::string> videoNodes(DeviceIo& io) {
    std::vector<std::pair<long, std::string>> numbered;
    for (const auto& name : io.listDirectory("/dev")) {
        if (const auto number = nodeNumber(name)) numbered.emplace_back(*number, "/dev/" + name);
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> nodes;
    for (auto& entry : numbered) nodes.push_back(std::move(entry.second));
    return nodes;
}

// The USB product string of the device a node belongs to; for a UVC camera that is the name the
// device gives itself, which the driver's card field cuts short and extends with a function name.
std::optional<std::string> usbProduct(DeviceIo& io, const std::string& node) {
    auto text = io.readText("/sys/class/video4linux/" + baseName(node) + "/device/../product");
    if (!text) return std::nullopt;
    if (!text->empty() && text->back() == '\n') text->pop_back();
    if (text->empty()) return std::nullopt;
    return replacingInvalidUtf8(*text);
}

double rate(const v4l2_fract& interval) {
    return static_cast<double>(interval.denominator) / static_cast<double>(interval.numerator);
}

bool valid(const v4l2_fract& fraction) {
    return fraction.numerator > 0 && fraction.denominator > 0;
}

std::vector<V4l2FrameRateRange> frameRates(DeviceIo& io, int fd, std::uint32_t pixelFormat, int width,
                                           int height) {
    std::vector<V4l2FrameRateRange> ranges;
    for (std::uint32_t index = 0; index < maxEntries; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = pixelFormat;
        interval.width = static_cast<std::uint32_t>(width);
        interval.height = static_cast<std::uint32_t>(height);
        if (io.ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0) break;
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            if (valid(interval.discrete))
                ranges.push_back({rate(interval.discrete), rate(interval.discrete)});
            continue;
        }
        // Stepwise and continuous ranges come as one entry: the longest interval is the lowest rate.
        if (valid(interval.stepwise.min) && valid(interval.stepwise.max)) {
            ranges.push_back({rate(interval.stepwise.max), rate(interval.stepwise.min)});
        }
        break;
    }
    return ranges;
}

std::vector<std::pair<int, int>> frameSizes(DeviceIo& io, int fd, std::uint32_t pixelFormat) {
    std::vector<std::pair<int, int>> sizes;
    for (std::uint32_t index = 0; index < maxEntries; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = pixelFormat;
        if (io.ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes.emplace_back(size.discrete.width, size.discrete.height);
            continue;
        }
        // A stepwise or continuous size range is described by its two ends.
        sizes.emplace_back(size.stepwise.min_width, size.stepwise.min_height);
        if (size.stepwise.max_width != size.stepwise.min_width ||
            size.stepwise.max_height != size.stepwise.min_height) {
            sizes.emplace_back(size.stepwise.max_width, size.stepwise.max_height);
        }
        break;
    }
    return sizes;
}

std::optional<V4l2Camera> describe(DeviceIo& io, int fd, const std::string& node) {
    v4l2_capability capability{};
    if (io.ioctl(fd, VIDIOC_QUERYCAP, &capability) != 0) return std::nullopt;
    const std::uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                   ? capability.device_caps
                                   : capability.capabilities;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0) return std::nullopt;

    V4l2Camera camera;
    camera.node = node;
    camera.uniqueId = "v4l2:" + fixedText(capability.bus_info, sizeof capability.bus_info);
    camera.name = usbProduct(io, node).value_or(fixedText(capability.card, sizeof capability.card));

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io.ioctl(fd, VIDIOC_G_FMT, &format) == 0) {
        camera.active.pixelFormat = format.fmt.pix.pixelformat;
        camera.active.width = static_cast<int>(format.fmt.pix.width);
        camera.active.height = static_cast<int>(format.fmt.pix.height);
    }
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io.ioctl(fd, VIDIOC_G_PARM, &parameters) == 0 &&
        (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) != 0 &&
        valid(parameters.parm.capture.timeperframe)) {
        const auto& interval = parameters.parm.capture.timeperframe;
        camera.frameDurationSeconds = static_cast<double>(interval.numerator) / interval.denominator;
    }

    for (std::uint32_t index = 0; index < maxEntries; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (io.ioctl(fd, VIDIOC_ENUM_FMT, &description) != 0) break;
        auto sizes = frameSizes(io, fd, description.pixelformat);
        // A driver without size enumeration still tells the size it runs at.
        if (sizes.empty() && description.pixelformat == camera.active.pixelFormat &&
            camera.active.width > 0) {
            sizes.emplace_back(camera.active.width, camera.active.height);
        }
        for (const auto& [width, height] : sizes) {
            camera.formats.push_back({description.pixelformat, width, height,
                                      frameRates(io, fd, description.pixelformat, width, height)});
        }
    }

    for (const auto& candidate : camera.formats) {
        if (candidate.pixelFormat == camera.active.pixelFormat && candidate.width == camera.active.width &&
            candidate.height == camera.active.height) {
            camera.active.ranges = candidate.ranges;
            break;
        }
    }
    if (camera.active.ranges.empty() && camera.frameDurationSeconds) {
        const double fps = 1.0 / *camera.frameDurationSeconds;
        camera.active.ranges.push_back({fps, fps});
    }
    return camera;
}

}  // namespace

std::optional<V4l2Camera> describeV4l2Camera(DeviceIo& io, const std::string& node) {
    const int fd = io.open(node, O_RDWR | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    auto camera = describe(io, fd, node);
    io.close(fd);
    return camera;
}

std::vector<V4l2Camera> listV4l2Cameras(DeviceIo& io) {
    std::vector<V4l2Camera> cameras;
    std::set<std::string> ids;
    for (const auto& node : videoNodes(io)) {
        auto camera = describeV4l2Camera(io, node);
        if (!camera) continue;
        // bus_info names the port; two capture nodes of one device still need distinct ids.
        if (!ids.insert(camera->uniqueId).second) {
            camera->uniqueId.append("/").append(baseName(node));
            ids.insert(camera->uniqueId);
        }
        cameras.push_back(std::move(*camera));
    }
    return cameras;
}

AuthorizationStatus v4l2Permission(DeviceIo& io) {
    for (const auto& node : videoNodes(io)) {
        const int fd = io.open(node, O_RDWR | O_NONBLOCK);
        if (fd >= 0) {
            io.close(fd);
            continue;
        }
        if (errno == EACCES || errno == EPERM) return AuthorizationStatus::denied;
    }
    return AuthorizationStatus::authorized;
}

std::uint32_t fourCharCode(std::uint32_t pixelFormat) {
    return ((pixelFormat & 0xFFu) << 24) | ((pixelFormat & 0xFF00u) << 8) | ((pixelFormat >> 8) & 0xFF00u) |
           ((pixelFormat >> 24) & 0x7Fu);
}

}  // namespace qv
