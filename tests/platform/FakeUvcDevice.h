#pragma once

#include "platform/DeviceIo.h"

#include <linux/videodev2.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qvtest {

// A stand-in for the kernel with UVC-like video nodes: enumeration, the active format, mmap
// streaming and the faults a real camera shows (skipped frames, damaged buffers, unplugging).
// Tests push frames; the code under test dequeues them through the same calls it makes on a real
// device.
class FakeUvcDevice final : public qv::DeviceIo {
public:
    enum class IntervalKind { discrete, stepwise, continuous };

    struct Size {
        int width = 0;
        int height = 0;
        IntervalKind intervals = IntervalKind::discrete;
        std::vector<v4l2_fract> discrete;  // for discrete intervals
        v4l2_fract min{}, max{}, step{};   // for stepwise and continuous
    };

    struct Format {
        std::uint32_t pixelFormat = 0;
        std::vector<Size> sizes;
        bool stepwiseSizes = false;  // sizes[0] is the minimum and sizes[1] the maximum
    };

    struct Node {
        std::string card;
        std::string busInfo;
        std::uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        std::string product;  // the USB product string; empty: no USB parent
        std::vector<Format> formats;
        // The active format.
        std::uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;
        int width = 0;
        int height = 0;
        std::uint32_t bytesPerLine = 0;
        std::uint32_t sizeImage = 0;
        v4l2_fract timePerFrame{1, 30};
        int openError = 0;  // an errno that open() fails with
    };

    void addNode(int number, Node node);

    // Fills the next queued buffer with `bytes` and makes it ready to dequeue. False when the code
    // under test holds every buffer (a real driver would skip the frame).
    bool pushFrame(const std::vector<std::uint8_t>& bytes, std::uint32_t sequence, std::uint32_t flags = 0,
                   timeval timestamp = {});
    // The device disappears: every later call on an open descriptor fails with ENODEV.
    void unplug();

    // Waits until `count` buffers in total have been given back with VIDIOC_QBUF after dequeueing.
    bool waitForRequeued(int count, double timeoutSeconds);
    // True when nothing is open or mapped any more.
    bool released() const;
    bool streaming() const;

    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override;
    std::vector<std::string> listDirectory(const std::string& path) override;
    std::optional<std::string> readText(const std::string& path) override;

private:
    struct Buffer {
        std::vector<std::uint8_t> memory;
        std::uint32_t bytesUsed = 0;
        std::uint32_t sequence = 0;
        std::uint32_t flags = 0;
        timeval timestamp{};
        bool mapped = false;
    };

    int control(const Node& node, unsigned long request, void* argument);
    int fail(int error) const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, Node> nodes_;
    std::map<int, int> open_;  // fd → node number
    int nextFd_ = 100;
    bool unplugged_ = false;
    bool streaming_ = false;
    std::vector<Buffer> buffers_;
    std::deque<std::uint32_t> queued_;
    std::deque<std::uint32_t> done_;
    std::set<std::uint32_t> dequeued_;
    int requeued_ = 0;
};

}  // namespace qvtest
