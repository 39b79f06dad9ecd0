#include "FakeUvcDevice.h"

#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace qvtest {

namespace {

constexpr std::size_t pageSize = 4096;

int fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

void FakeUvcDevice::addNode(int number, Node node) {
    std::lock_guard lock(mutex_);
    nodes_[number] = std::move(node);
}

bool FakeUvcDevice::pushFrame(const std::vector<std::uint8_t>& bytes, std::uint32_t sequence,
                              std::uint32_t flags, timeval timestamp) {
    std::lock_guard lock(mutex_);
    if (!streaming_ || queued_.empty()) return false;
    const std::uint32_t index = queued_.front();
    queued_.pop_front();
    Buffer& buffer = buffers_[index];
    const std::size_t size = std::min(bytes.size(), buffer.memory.size());
    std::memcpy(buffer.memory.data(), bytes.data(), size);
    buffer.filled = {};
    buffer.filled.index = index;
    buffer.filled.bytesused = static_cast<std::uint32_t>(size);
    buffer.filled.sequence = sequence;
    buffer.filled.flags = flags | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    buffer.filled.timestamp = timestamp;
    buffer.filled.length = static_cast<std::uint32_t>(buffer.memory.size());
    done_.push_back(index);
    changed_.notify_all();
    return true;
}

void FakeUvcDevice::unplug() {
    std::lock_guard lock(mutex_);
    unplugged_ = true;
    changed_.notify_all();
}

bool FakeUvcDevice::waitForRequeued(int count, double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return requeued_ >= count; });
}

bool FakeUvcDevice::released() const {
    std::lock_guard lock(mutex_);
    for (const auto& buffer : buffers_) {
        if (buffer.mapped) return false;
    }
    return open_.empty();
}

int FakeUvcDevice::open(const std::string& path, int) {
    std::lock_guard lock(mutex_);
    const std::string prefix = "/dev/video";
    if (path.compare(0, prefix.size(), prefix) != 0) return fail(ENOENT);
    const int number = std::stoi(path.substr(prefix.size()));
    if (nodes_.count(number) == 0 || unplugged_) return fail(ENOENT);
    open_[nextFd_] = number;
    return nextFd_++;
}

int FakeUvcDevice::close(int fd) {
    std::lock_guard lock(mutex_);
    return open_.erase(fd) == 0 ? fail(EBADF) : 0;
}

int FakeUvcDevice::ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard lock(mutex_);
    const auto open = open_.find(fd);
    if (open == open_.end()) return fail(EBADF);
    if (unplugged_) return fail(ENODEV);
    return control(nodes_.at(open->second), request, argument);
}

// No format enumeration: the camera streams in its active format.
int FakeUvcDevice::control(const Node& node, unsigned long request, void* argument) {
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* capability = static_cast<v4l2_capability*>(argument);
            *capability = {};
            node.card.copy(reinterpret_cast<char*>(capability->card), sizeof capability->card - 1);
            node.busInfo.copy(reinterpret_cast<char*>(capability->bus_info), sizeof capability->bus_info - 1);
            capability->device_caps = node.deviceCaps;
            capability->capabilities = node.deviceCaps | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_G_FMT: {
            auto& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
            pix = {};
            pix.pixelformat = node.pixelFormat;
            pix.width = static_cast<std::uint32_t>(node.width);
            pix.height = static_cast<std::uint32_t>(node.height);
            pix.bytesperline = node.bytesPerLine;
            pix.sizeimage = node.sizeImage;
            return 0;
        }
        case VIDIOC_REQBUFS: {
            const auto* wanted = static_cast<v4l2_requestbuffers*>(argument);
            for (const auto& buffer : buffers_) {
                if (buffer.mapped) return fail(EBUSY);
            }
            buffers_.assign(wanted->count, Buffer{});
            for (auto& buffer : buffers_) buffer.memory.assign(node.sizeImage, 0);
            queued_.clear();
            done_.clear();
            dequeued_.clear();
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->index >= buffers_.size()) return fail(EINVAL);
            buffer->length = static_cast<std::uint32_t>(buffers_[buffer->index].memory.size());
            buffer->m.offset = static_cast<std::uint32_t>(buffer->index * pageSize);
            return 0;
        }
        case VIDIOC_QBUF: {
            const auto index = static_cast<v4l2_buffer*>(argument)->index;
            if (index >= buffers_.size()) return fail(EINVAL);
            if (dequeued_.erase(index) != 0) ++requeued_;
            queued_.push_back(index);
            changed_.notify_all();
            return 0;
        }
        case VIDIOC_DQBUF:
            if (!streaming_) return fail(EINVAL);
            if (done_.empty()) return fail(EAGAIN);
            dequeued_.insert(done_.front());
            *static_cast<v4l2_buffer*>(argument) = buffers_[done_.front()].filled;
            done_.pop_front();
            return 0;
        case VIDIOC_STREAMON:
            streaming_ = true;
            return 0;
        case VIDIOC_STREAMOFF:
            streaming_ = false;
            queued_.clear();
            done_.clear();
            return 0;
        default:
            return fail(EINVAL);
    }
}

void* FakeUvcDevice::mmap(std::size_t length, int, int, int fd, off_t offset) {
    std::lock_guard lock(mutex_);
    const std::size_t index = static_cast<std::size_t>(offset) / pageSize;
    if (open_.count(fd) == 0 || index >= buffers_.size() || length != buffers_[index].memory.size()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    buffers_[index].mapped = true;
    return buffers_[index].memory.data();
}

int FakeUvcDevice::munmap(void* address, std::size_t) {
    std::lock_guard lock(mutex_);
    for (auto& buffer : buffers_) {
        if (buffer.memory.data() == address && buffer.mapped) {
            buffer.mapped = false;
            return 0;
        }
    }
    return fail(EINVAL);
}

int FakeUvcDevice::poll(pollfd* fds, nfds_t, int timeoutMs) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return unplugged_ || !done_.empty(); });
    fds->revents = unplugged_ ? POLLERR | POLLHUP : !done_.empty() ? POLLIN : 0;
    return fds->revents != 0 ? 1 : 0;
}

std::vector<std::string> FakeUvcDevice::listDirectory(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names{"null", "video"};  // neither is a numbered node
    if (path != "/dev") return {};
    for (const auto& [number, node] : nodes_) names.push_back("video" + std::to_string(number));
    return names;
}

}  // namespace qvtest
