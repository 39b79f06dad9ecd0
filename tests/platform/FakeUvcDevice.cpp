#include "FakeUvcDevice.h"

#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace qvtest {

namespace {

constexpr std::size_t pageSize = 4096;

void copyText(std::uint8_t* target, std::size_t size, const std::string& text) {
    std::memset(target, 0, size);
    std::memcpy(target, text.data(), std::min(text.size(), size - 1));
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
    buffer.bytesUsed = static_cast<std::uint32_t>(size);
    buffer.sequence = sequence;
    buffer.flags = flags;
    buffer.timestamp = timestamp;
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
    if (!open_.empty()) return false;
    for (const auto& buffer : buffers_) {
        if (buffer.mapped) return false;
    }
    return true;
}

bool FakeUvcDevice::streaming() const {
    std::lock_guard lock(mutex_);
    return streaming_;
}

int FakeUvcDevice::fail(int error) const {
    errno = error;
    return -1;
}

int FakeUvcDevice::open(const std::string& path, int) {
    std::lock_guard lock(mutex_);
    const std::string prefix = "/dev/video";
    if (path.compare(0, prefix.size(), prefix) != 0) return fail(ENOENT);
    const int number = std::stoi(path.substr(prefix.size()));
    const auto node = nodes_.find(number);
    if (node == nodes_.end() || unplugged_) return fail(ENOENT);
    if (node->second.openError != 0) return fail(node->second.openError);
    const int fd = nextFd_++;
    open_[fd] = number;
    return fd;
}

int FakeUvcDevice::close(int fd) {
    std::lock_guard lock(mutex_);
    if (open_.erase(fd) == 0) return fail(EBADF);
    return 0;
}

int FakeUvcDevice::ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard lock(mutex_);
    const auto open = open_.find(fd);
    if (open == open_.end()) return fail(EBADF);
    if (unplugged_) return fail(ENODEV);
    return control(nodes_.at(open->second), request, argument);
}

int FakeUvcDevice::control(const Node& node, unsigned long request, void* argument) {
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* capability = static_cast<v4l2_capability*>(argument);
            *capability = {};
            copyText(capability->driver, sizeof capability->driver, "uvcvideo");
            copyText(capability->card, sizeof capability->card, node.card);
            copyText(capability->bus_info, sizeof capability->bus_info, node.busInfo);
            capability->device_caps = node.deviceCaps;
            capability->capabilities = node.deviceCaps | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE |
                                       V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* description = static_cast<v4l2_fmtdesc*>(argument);
            if ((node.deviceCaps & V4L2_CAP_VIDEO_CAPTURE) == 0 ||
                description->index >= node.formats.size()) {
                return fail(EINVAL);
            }
            description->pixelformat = node.formats[description->index].pixelFormat;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* size = static_cast<v4l2_frmsizeenum*>(argument);
            for (const auto& format : node.formats) {
                if (format.pixelFormat != size->pixel_format) continue;
                if (format.stepwiseSizes) {
                    if (size->index != 0) return fail(EINVAL);
                    size->type = V4L2_FRMSIZE_TYPE_STEPWISE;
                    size->stepwise = {static_cast<std::uint32_t>(format.sizes[0].width),
                                      static_cast<std::uint32_t>(format.sizes[1].width),
                                      16,
                                      static_cast<std::uint32_t>(format.sizes[0].height),
                                      static_cast<std::uint32_t>(format.sizes[1].height),
                                      16};
                    return 0;
                }
                if (size->index >= format.sizes.size()) return fail(EINVAL);
                size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                size->discrete = {static_cast<std::uint32_t>(format.sizes[size->index].width),
                                  static_cast<std::uint32_t>(format.sizes[size->index].height)};
                return 0;
            }
            return fail(EINVAL);
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* interval = static_cast<v4l2_frmivalenum*>(argument);
            for (const auto& format : node.formats) {
                if (format.pixelFormat != interval->pixel_format) continue;
                for (const auto& size : format.sizes) {
                    if (size.width != static_cast<int>(interval->width) ||
                        size.height != static_cast<int>(interval->height)) {
                        continue;
                    }
                    if (size.intervals == IntervalKind::discrete) {
                        if (interval->index >= size.discrete.size()) return fail(EINVAL);
                        interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                        interval->discrete = size.discrete[interval->index];
                        return 0;
                    }
                    if (interval->index != 0) return fail(EINVAL);
                    interval->type = size.intervals == IntervalKind::stepwise ? V4L2_FRMIVAL_TYPE_STEPWISE
                                                                              : V4L2_FRMIVAL_TYPE_CONTINUOUS;
                    interval->stepwise = {
                        size.min, size.max,
                        size.intervals == IntervalKind::stepwise ? size.step : v4l2_fract{1, 1}};
                    return 0;
                }
            }
            return fail(EINVAL);
        }
        case VIDIOC_G_FMT: {
            auto* format = static_cast<v4l2_format*>(argument);
            if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE ||
                (node.deviceCaps & V4L2_CAP_VIDEO_CAPTURE) == 0) {
                return fail(EINVAL);
            }
            format->fmt.pix = {};
            format->fmt.pix.pixelformat = node.pixelFormat;
            format->fmt.pix.width = static_cast<std::uint32_t>(node.width);
            format->fmt.pix.height = static_cast<std::uint32_t>(node.height);
            format->fmt.pix.bytesperline = node.bytesPerLine;
            format->fmt.pix.sizeimage = node.sizeImage;
            return 0;
        }
        case VIDIOC_S_FMT:
        case VIDIOC_S_PARM:
            // The helper never changes a device's format; a test would notice through this.
            return fail(EPERM);
        case VIDIOC_G_PARM: {
            auto* parameters = static_cast<v4l2_streamparm*>(argument);
            parameters->parm.capture = {};
            parameters->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
            parameters->parm.capture.timeperframe = node.timePerFrame;
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* buffers = static_cast<v4l2_requestbuffers*>(argument);
            if (buffers->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
            for (const auto& buffer : buffers_) {
                if (buffer.mapped) return fail(EBUSY);
            }
            buffers_.assign(buffers->count, Buffer{});
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
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (buffer->index >= buffers_.size()) return fail(EINVAL);
            if (dequeued_.erase(buffer->index) != 0) ++requeued_;
            queued_.push_back(buffer->index);
            changed_.notify_all();
            return 0;
        }
        case VIDIOC_DQBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            if (!streaming_) return fail(EINVAL);
            if (done_.empty()) return fail(EAGAIN);
            const std::uint32_t index = done_.front();
            done_.pop_front();
            dequeued_.insert(index);
            const Buffer& filled = buffers_[index];
            buffer->index = index;
            buffer->bytesused = filled.bytesUsed;
            buffer->sequence = filled.sequence;
            buffer->flags = filled.flags | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
            buffer->timestamp = filled.timestamp;
            buffer->length = static_cast<std::uint32_t>(filled.memory.size());
            return 0;
        }
        case VIDIOC_STREAMON:
            streaming_ = true;
            return 0;
        case VIDIOC_STREAMOFF:
            streaming_ = false;
            queued_.clear();
            done_.clear();
            return 0;
        default:
            return fail(ENOTTY);
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
    fds->revents = 0;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return unplugged_ || !done_.empty(); });
    if (unplugged_) {
        fds->revents = POLLERR | POLLHUP;
        return 1;
    }
    if (!done_.empty()) {
        fds->revents = POLLIN;
        return 1;
    }
    return 0;
}

std::vector<std::string> FakeUvcDevice::listDirectory(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    if (path != "/dev") return names;
    names.push_back("null");
    names.push_back("video");  // not a numbered node
    // Directory order is not numeric order.
    for (auto node = nodes_.rbegin(); node != nodes_.rend(); ++node) {
        names.push_back("video" + std::to_string(node->first));
    }
    return names;
}

std::optional<std::string> FakeUvcDevice::readText(const std::string& path) {
    std::lock_guard lock(mutex_);
    const std::string prefix = "/sys/class/video4linux/video";
    const std::string suffix = "/device/../product";
    if (path.compare(0, prefix.size(), prefix) != 0 || path.size() < prefix.size() + suffix.size() ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    const int number = std::stoi(path.substr(prefix.size()));
    const auto node = nodes_.find(number);
    if (node == nodes_.end() || node->second.product.empty()) return std::nullopt;
    return node->second.product + "\n";
}

}  // namespace qvtest
