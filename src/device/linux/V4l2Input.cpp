#include "device/linux/V4l2Input.h"

#include "base/CaptureError.h"
#include "base/Clock.h"
#include "device/VideoDataOutput.h"
#include "device/linux/FrameConverter.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

namespace qv {

namespace {

constexpr std::uint32_t requestedBuffers = 4;
// How long one wait for a frame may last before the thread looks at its stop flag again.
constexpr int pollTimeoutMs = 100;
// A larger jump in the sequence counter is a restarted counter, not frames that were lost.
constexpr std::uint32_t largestGap = 1000;

struct Mapping {
    void* address = MAP_FAILED;
    std::size_t length = 0;
};

v4l2_buffer mmapBuffer(std::uint32_t index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return buffer;
}

double timestamp(const v4l2_buffer& buffer) {
    if ((buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC) {
        return static_cast<double>(buffer.timestamp.tv_sec) +
               static_cast<double>(buffer.timestamp.tv_usec) / 1e6;
    }
    return mono();
}

// The node, its buffers and its converter. The capture thread owns the buffers while it runs.
class V4l2Core final : public DeviceInput::Core {
public:
    explicit V4l2Core(DeviceIo& deviceIo) : io(deviceIo) {}
    ~V4l2Core() override { close(); }

    DeviceIo& io;
    int fd = -1;
    std::vector<Mapping> buffers;
    bool buffersClean = true;
    std::optional<FrameConverter> converter;
    std::shared_ptr<VideoDataOutput> output;
    std::optional<std::uint32_t> lastSequence;

    // Streams even without an output: the frames then go nowhere.
    Start prepare(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) override {
        if (fd < 0 || !allocate()) return Start::refused;
        output = findOutput<VideoDataOutput>(outputs);
        lastSequence.reset();
        return Start::stream;
    }

    bool close() override {
        freeBuffers();
        if (fd < 0) return buffersClean;
        const bool closed = io.close(fd) == 0;
        fd = -1;
        return closed && buffersClean;
    }

    // Requests, maps and queues the buffers and starts streaming. False when the driver refuses.
    bool allocate() {
        v4l2_requestbuffers request{};
        request.count = requestedBuffers;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (io.ioctl(fd, VIDIOC_REQBUFS, &request) != 0) return false;
        bool ok = request.count >= 2;
        for (std::uint32_t index = 0; ok && index < request.count; ++index) {
            v4l2_buffer buffer = mmapBuffer(index);
            ok = io.ioctl(fd, VIDIOC_QUERYBUF, &buffer) == 0;
            if (!ok) break;
            Mapping mapping;
            mapping.length = buffer.length;
            mapping.address = io.mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
            ok = mapping.address != MAP_FAILED;
            if (ok) buffers.push_back(mapping);
        }
        for (std::uint32_t index = 0; ok && index < buffers.size(); ++index) {
            v4l2_buffer buffer = mmapBuffer(index);
            ok = io.ioctl(fd, VIDIOC_QBUF, &buffer) == 0;
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (ok) ok = io.ioctl(fd, VIDIOC_STREAMON, &type) == 0;
        if (!ok) freeBuffers();
        return ok;
    }

    // Stops streaming and gives every buffer back; safe to call again.
    void freeBuffers() {
        if (fd < 0) return;
        bool hadBuffers = !buffers.empty();
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        // These fail once the device is gone; unmapping and closing still release everything.
        io.ioctl(fd, VIDIOC_STREAMOFF, &type);
        for (auto& buffer : buffers) {
            if (io.munmap(buffer.address, buffer.length) != 0) buffersClean = false;
        }
        buffers.clear();
        if (hadBuffers) {
            v4l2_requestbuffers none{};
            none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            none.memory = V4L2_MEMORY_MMAP;
            io.ioctl(fd, VIDIOC_REQBUFS, &none);
        }
    }

    void reportDrops(std::uint32_t count) {
        if (!delivering.load() || !output) return;
        for (std::uint32_t i = 0; i < count; ++i) output->reportDropped();
    }

    // Hands one dequeued buffer on and gives it back to the driver. False when the stream must end.
    bool handle(v4l2_buffer& buffer) {
        if (lastSequence) {
            // Unsigned arithmetic survives the counter wrapping; a step back is not a gap.
            const std::uint32_t gap = buffer.sequence - *lastSequence - 1;
            if (gap <= largestGap) reportDrops(gap);
        }
        lastSequence = buffer.sequence;

        if ((buffer.flags & V4L2_BUF_FLAG_ERROR) != 0) {
            reportDrops(1);
        } else if (delivering.load() && output) {
            const auto& mapping = buffers[buffer.index];
            const std::size_t used = std::min<std::size_t>(buffer.bytesused, mapping.length);
            if (auto frame = converter->convert(static_cast<const std::uint8_t*>(mapping.address), used)) {
                output->deliver(std::move(frame), timestamp(buffer));
            } else {
                reportDrops(1);
            }
        }

        if (io.ioctl(fd, VIDIOC_QBUF, &buffer) != 0) {
            if (errno == ENODEV) unplugged.store(true);
            return false;
        }
        return true;
    }

    void run(const std::atomic<bool>& stopRequested) override {
        while (!stopRequested.load()) {
            pollfd waiting{fd, POLLIN, 0};
            const int ready = io.poll(&waiting, 1, pollTimeoutMs);
            if (ready < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (ready == 0) continue;

            v4l2_buffer buffer = mmapBuffer(0);
            if (io.ioctl(fd, VIDIOC_DQBUF, &buffer) != 0) {
                const int error = errno;
                if (error == ENODEV) {
                    unplugged.store(true);
                    break;
                }
                // EIO: the driver lost a frame but keeps streaming.
                if (error == EIO) {
                    reportDrops(1);
                    continue;
                }
                // Nothing ready after all. But an error condition with nothing to dequeue would
                // make poll() return at once for ever, so that ends the stream.
                if ((error == EAGAIN || error == EINTR) && (waiting.revents & (POLLERR | POLLHUP)) == 0)
                    continue;
                break;
            }
            if (buffer.index >= buffers.size() || !handle(buffer)) break;
        }
        freeBuffers();
    }
};

std::shared_ptr<V4l2Core> openNode(DeviceIo& io, const std::string& node) {
    auto core = std::make_shared<V4l2Core>(io);
    core->fd = io.open(node, O_RDWR | O_NONBLOCK);
    if (core->fd < 0) throw PlatformError::posix(errno, "open");
    // The core closes the node if anything below throws.
    auto fail = [](int error, const char* what) { throw PlatformError("V4L2", error, what); };

    v4l2_capability capability{};
    if (io.ioctl(core->fd, VIDIOC_QUERYCAP, &capability) != 0) fail(errno, "VIDIOC_QUERYCAP");
    const std::uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                   ? capability.device_caps
                                   : capability.capabilities;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0)
        fail(ENOTTY, "not a camera");

    // The device keeps the format it was set to; only its layout is read here.
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io.ioctl(core->fd, VIDIOC_G_FMT, &format) != 0) fail(errno, "VIDIOC_G_FMT");
    const auto& pix = format.fmt.pix;
    if (!FrameConverter::supports(pix.pixelformat)) fail(EINVAL, "pixel format cannot be converted");
    core->converter.emplace(FrameConverter::Layout{pix.pixelformat, static_cast<int>(pix.width),
                                                   static_cast<int>(pix.height), pix.bytesperline});
    return core;
}

}  // namespace

V4l2Input::V4l2Input(CaptureDeviceRef device, DeviceIo& io, const std::string& node)
    : DeviceInput(std::move(device), "qv.v4l2", openNode(io, node)) {}

}  // namespace qv
