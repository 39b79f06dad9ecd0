#include "platform/V4l2Stream.h"

#include "platform/FrameConverter.h"
#include "platform/Semaphore.h"
#include "protocol/CaptureError.h"
#include "protocol/Clock.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <vector>

namespace qv {

namespace {

constexpr std::uint32_t requestedBuffers = 4;
// How long one wait for a frame may last before the thread looks at its stop flag again.
constexpr int pollTimeoutMs = 100;

struct Mapping {
    void* address = MAP_FAILED;
    std::size_t length = 0;
};

}  // namespace

struct V4l2Stream::Core {
    Core(DeviceIo& deviceIo, Delivery deliveryTo) : io(deviceIo), delivery(std::move(deliveryTo)) {}

    DeviceIo& io;
    Delivery delivery;
    int fd = -1;
    std::vector<Mapping> buffers;
    std::optional<FrameConverter> converter;

    std::atomic<bool> stopRequested{false};
    std::atomic<bool> delivering{true};
    std::atomic<bool> inFlight{false};
    std::atomic<bool> unplugged{false};
    std::atomic<bool> ended{false};
    std::atomic<std::int64_t> pendingDrops{0};
    bool releasedCleanly = false;  // written before `finished` is signalled
    Semaphore finished;

    // Capture thread only.
    std::optional<std::uint32_t> lastSequence;

    // Undoes what start set up; safe on a partly started stream. True when nothing is left held.
    bool release() {
        if (fd >= 0) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            // Both fail once the device is gone; unmapping and closing still release everything.
            io.ioctl(fd, VIDIOC_STREAMOFF, &type);
        }
        bool clean = true;
        for (auto& buffer : buffers) {
            if (buffer.address != MAP_FAILED && io.munmap(buffer.address, buffer.length) != 0) clean = false;
            buffer.address = MAP_FAILED;
        }
        buffers.clear();
        if (fd >= 0) {
            v4l2_requestbuffers none{};
            none.count = 0;
            none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            none.memory = V4L2_MEMORY_MMAP;
            io.ioctl(fd, VIDIOC_REQBUFS, &none);
            if (io.close(fd) != 0) clean = false;
            fd = -1;
        }
        return clean;
    }

    void reportDrops(std::int64_t count, const std::shared_ptr<Core>& self) {
        if (count <= 0 || !delivering.load()) return;
        // One post carries every drop counted until it runs, so a busy queue does not fill up.
        if (pendingDrops.fetch_add(count) != 0) return;
        delivery.queue->async([weak = std::weak_ptr<Core>(self)] {
            const auto core = weak.lock();
            if (!core) return;
            const std::int64_t drops = core->pendingDrops.exchange(0);
            if (core->delivering.load() && drops > 0 && core->delivery.dropped) core->delivery.dropped(drops);
        });
    }

    void deliver(PixelBufferRef frame, double time, const std::shared_ptr<Core>& self) {
        inFlight.store(true);
        delivery.queue->async([weak = std::weak_ptr<Core>(self), frame = std::move(frame), time] {
            const auto core = weak.lock();
            if (!core) return;
            if (core->delivering.load() && core->delivery.frame) core->delivery.frame(frame, time);
            core->inFlight.store(false);
        });
    }

    // Handles one dequeued buffer and gives it back to the driver. False when the stream must end.
    bool handle(v4l2_buffer& buffer, const std::shared_ptr<Core>& self) {
        std::int64_t drops = 0;
        if (lastSequence) {
            // Unsigned arithmetic survives the counter wrapping; a step back is not a gap.
            const std::uint32_t gap = buffer.sequence - *lastSequence - 1;
            if (gap < 0x80000000u) drops += gap;
        }
        lastSequence = buffer.sequence;

        if ((buffer.flags & V4L2_BUF_FLAG_ERROR) != 0) {
            drops += 1;
        } else if (delivering.load()) {
            if (inFlight.load()) {
                drops += 1;
            } else {
                const auto& mapping = buffers[buffer.index];
                const std::size_t used = std::min<std::size_t>(buffer.bytesused, mapping.length);
                auto frame = converter->convert(static_cast<const std::uint8_t*>(mapping.address), used);
                if (frame) {
                    deliver(std::move(frame), timestamp(buffer), self);
                } else {
                    drops += 1;
                }
            }
        }
        reportDrops(drops, self);

        if (io.ioctl(fd, VIDIOC_QBUF, &buffer) != 0) {
            if (errno == ENODEV) unplugged.store(true);
            return false;
        }
        return true;
    }

    static double timestamp(const v4l2_buffer& buffer) {
        if ((buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC) {
            return static_cast<double>(buffer.timestamp.tv_sec) +
                   static_cast<double>(buffer.timestamp.tv_usec) / 1e6;
        }
        return mono();
    }

    void run(const std::shared_ptr<Core>& self) {
        while (!stopRequested.load()) {
            pollfd waiting{fd, POLLIN, 0};
            const int ready = io.poll(&waiting, 1, pollTimeoutMs);
            if (ready < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (ready == 0) continue;

            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (io.ioctl(fd, VIDIOC_DQBUF, &buffer) != 0) {
                const int error = errno;
                if (error == ENODEV) {
                    unplugged.store(true);
                    break;
                }
                // EIO: the driver lost a frame but keeps streaming.
                if (error == EIO) {
                    reportDrops(1, self);
                    continue;
                }
                // Nothing ready after all; but an error condition with nothing to dequeue would
                // make poll() return at once forever, so that ends the stream.
                if ((error == EAGAIN || error == EINTR) && (waiting.revents & (POLLERR | POLLHUP)) == 0)
                    continue;
                break;
            }
            if (buffer.index >= buffers.size()) break;
            if (!handle(buffer, self)) break;
        }
        ended.store(true);
        releasedCleanly = release();
        finished.signal();
    }
};

V4l2Stream::V4l2Stream(DeviceIo& io, const std::string& node, Delivery delivery)
    : core_(std::make_shared<Core>(io, std::move(delivery))) {
    Core& core = *core_;
    auto fail = [&](const char* what) {
        const int error = errno;
        core.release();
        throw PlatformError("V4L2", error, what);
    };

    core.fd = io.open(node, O_RDWR | O_NONBLOCK);
    if (core.fd < 0) throw PlatformError::posix(errno, "open");

    v4l2_capability capability{};
    if (io.ioctl(core.fd, VIDIOC_QUERYCAP, &capability) != 0) fail("VIDIOC_QUERYCAP");
    const std::uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                   ? capability.device_caps
                                   : capability.capabilities;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0) {
        errno = ENOTTY;
        fail("not a streaming capture node");
    }

    // The device keeps the format it was set to; only its layout is read here.
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io.ioctl(core.fd, VIDIOC_G_FMT, &format) != 0) fail("VIDIOC_G_FMT");
    if (!FrameConverter::supports(format.fmt.pix.pixelformat)) {
        errno = EINVAL;
        fail("pixel format cannot be converted");
    }
    core.converter.emplace(
        FrameConverter::Layout{format.fmt.pix.pixelformat, static_cast<int>(format.fmt.pix.width),
                               static_cast<int>(format.fmt.pix.height), format.fmt.pix.bytesperline});

    v4l2_requestbuffers request{};
    request.count = requestedBuffers;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (io.ioctl(core.fd, VIDIOC_REQBUFS, &request) != 0) fail("VIDIOC_REQBUFS");
    if (request.count < 2) {
        errno = ENOMEM;
        fail("too few buffers");
    }
    for (std::uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (io.ioctl(core.fd, VIDIOC_QUERYBUF, &buffer) != 0) fail("VIDIOC_QUERYBUF");
        Mapping mapping;
        mapping.length = buffer.length;
        mapping.address =
            io.mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, core.fd, buffer.m.offset);
        if (mapping.address == MAP_FAILED) fail("mmap");
        core.buffers.push_back(mapping);
    }
    for (std::uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (io.ioctl(core.fd, VIDIOC_QBUF, &buffer) != 0) fail("VIDIOC_QBUF");
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io.ioctl(core.fd, VIDIOC_STREAMON, &type) != 0) fail("VIDIOC_STREAMON");

    thread_ = std::thread([core = core_] {
        pthread_setname_np(pthread_self(), "qv.v4l2");
        core->run(core);
    });
}

V4l2Stream::~V4l2Stream() {
    stopDelivery();
    stop(2.0);
}

void V4l2Stream::stopDelivery() {
    core_->delivering.store(false);
}

bool V4l2Stream::stop(double timeoutSeconds) {
    if (stopped_) return released_;
    stopped_ = true;
    core_->stopRequested.store(true);
    if (core_->finished.wait(timeoutSeconds)) {
        thread_.join();
        released_ = core_->releasedCleanly;
    } else {
        // The thread owns the device and releases it when its current call returns.
        thread_.detach();
        released_ = false;
    }
    return released_;
}

bool V4l2Stream::unplugged() const {
    return core_->unplugged.load();
}

bool V4l2Stream::running() const {
    return !core_->ended.load();
}

}  // namespace qv
