#pragma once

#include "device/linux/DeviceIo.h"

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

// A stand-in for the kernel with UVC-like video nodes that stream through mmap buffers and can be
// unplugged. Tests push frames; the code under test dequeues them through the same calls it makes on
// a real device.
class FakeUvcDevice final : public qv::DeviceIo {
public:
    struct Node {
        std::string card;
        std::string busInfo;
        std::uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        std::uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;
        int width = 0;
        int height = 0;
        std::uint32_t bytesPerLine = 0;
        std::uint32_t sizeImage = 0;
    };

    void addNode(int number, Node node);
    // Fills the next queued buffer and makes it ready to dequeue. False when the code under test
    // holds every buffer or is not streaming.
    bool pushFrame(const std::vector<std::uint8_t>& bytes, std::uint32_t sequence, std::uint32_t flags = 0,
                   timeval timestamp = {});
    // Every later call on an open descriptor fails with ENODEV.
    void unplug();
    // Waits until `count` dequeued buffers in total have been queued again.
    bool waitForRequeued(int count, double timeoutSeconds);
    // True when nothing is open or mapped any more.
    bool released() const;

    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override;
    std::vector<std::string> listDirectory(const std::string& path) override;
    std::optional<std::string> readText(const std::string&) override { return std::nullopt; }

private:
    struct Buffer {
        std::vector<std::uint8_t> memory;
        v4l2_buffer filled{};
        bool mapped = false;
    };
    int control(const Node& node, unsigned long request, void* argument);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, Node> nodes_;
    std::map<int, int> open_;  // fd → node number
    int nextFd_ = 100;
    bool unplugged_ = false;
    bool streaming_ = false;
    std::vector<Buffer> buffers_;
    std::deque<std::uint32_t> queued_, done_;
    std::set<std::uint32_t> dequeued_;
    int requeued_ = 0;
};

}  // namespace qvtest
