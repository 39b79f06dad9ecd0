#include "TestSupport.h"
#include "base/Runtime.h"
#include "device/VideoDataOutput.h"
#include "device/linux/DeviceIo.h"
#include "device/linux/V4l2Device.h"
#include "device/linux/V4l2Input.h"
#include "device/linux/V4l2Inventory.h"

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

using namespace qv;

namespace {

// The camera's format: 16 × 8 YUYV, rows padded to 40 bytes.
constexpr int width = 16, height = 8, stride = 40;

// What a failed system call returns, with errno set.
template <typename Result = int>
Result fail(int error, Result result = -1) {
    errno = error;
    return result;
}

// Red on the left and white on the right, into a buffer of the camera's size.
void drawYuyvFrame(std::uint8_t* bytes) {
    std::fill(bytes, bytes + stride * height, 0xEE);
    for (int y = 0; y < height; ++y) {
        for (int pair = 0; pair < width / 2; ++pair) {
            const bool red = pair < width / 4;
            std::uint8_t* p = bytes + y * stride + pair * 4;
            p[0] = p[2] = red ? 81 : 235;
            p[1] = red ? 90 : 128;
            p[3] = red ? 240 : 128;
        }
    }
}

// A stand-in for the kernel: UVC-like nodes /dev/video<n> (descriptor 100 + n), each with its device
// capabilities, that stream the frame above in mmap buffers and can be unplugged. The test pushes
// frames; the code under test takes them through the calls it makes on a real device. There is no
// format enumeration: a camera streams in its active format.
class FakeKernel final : public DeviceIo {
public:
    explicit FakeKernel(std::map<int, std::uint32_t> nodes) : nodes_(std::move(nodes)) {}

    // Fills the next queued buffer and makes it ready to dequeue. False when the code under test
    // holds every buffer or is not streaming.
    bool pushFrame(std::uint32_t sequence, std::uint32_t flags = 0, timeval timestamp = {}) {
        std::lock_guard lock(mutex_);
        if (!streaming_ || queued_.empty()) return false;
        Buffer& buffer = buffers_[queued_.front()];
        drawYuyvFrame(buffer.memory.data());  // in the mapped memory
        buffer.filled = {};
        buffer.filled.index = queued_.front();
        buffer.filled.bytesused = buffer.filled.length = static_cast<std::uint32_t>(buffer.memory.size());
        buffer.filled.sequence = sequence;
        buffer.filled.flags = flags | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        buffer.filled.timestamp = timestamp;
        done_.push_back(queued_.front());
        queued_.pop_front();
        changed_.notify_all();
        return true;
    }
    // Every later call on an open descriptor fails with ENODEV.
    void unplug() {
        std::lock_guard lock(mutex_);
        unplugged_ = true;
        changed_.notify_all();
    }
    // Waits until `count` buffers in all have been queued again after the first queueing.
    bool waitForRequeued(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return queueings_ >= static_cast<int>(buffers_.size()) + count; });
    }
    // True when nothing is open or mapped any more.
    bool released() const {
        std::lock_guard lock(mutex_);
        return open_.empty() && std::ranges::none_of(buffers_, &Buffer::mapped);
    }

    int open(const std::string& path, int) override {
        std::lock_guard lock(mutex_);
        const int number = path.starts_with("/dev/video") ? std::stoi(path.substr(10)) : -1;
        if (nodes_.count(number) == 0 || unplugged_) return fail(ENOENT);
        open_.insert(100 + number);
        return 100 + number;
    }
    int close(int fd) override {
        std::lock_guard lock(mutex_);
        return open_.erase(fd) == 0 ? fail(EBADF) : 0;
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        std::lock_guard lock(mutex_);
        if (open_.count(fd) == 0) return fail(EBADF);
        return unplugged_ ? fail(ENODEV) : control(nodes_.at(fd - 100), request, argument);
    }
    void* mmap(std::size_t length, int, int, int fd, off_t offset) override {
        std::lock_guard lock(mutex_);
        const auto index = static_cast<std::size_t>(offset) / pageSize;
        if (open_.count(fd) == 0 || index >= buffers_.size() || length != buffers_[index].memory.size())
            return fail(EINVAL, MAP_FAILED);
        buffers_[index].mapped = true;
        return buffers_[index].memory.data();
    }
    int munmap(void* address, std::size_t) override {
        std::lock_guard lock(mutex_);
        const auto buffer =
            std::ranges::find_if(buffers_, [&](auto& b) { return b.mapped && b.memory.data() == address; });
        if (buffer == buffers_.end()) return fail(EINVAL);
        buffer->mapped = false;
        return 0;
    }
    int poll(pollfd* fds, nfds_t, int timeoutMs) override {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return unplugged_ || !done_.empty(); });
        fds->revents = unplugged_ ? POLLERR | POLLHUP : !done_.empty() ? POLLIN : 0;
        return fds->revents != 0 ? 1 : 0;
    }
    std::vector<std::string> listDirectory(const std::string& path) override {
        std::vector<std::string> names{"null", "video"};  // neither is a numbered node
        for (const auto& node : nodes_) names.push_back("video" + std::to_string(node.first));
        return path == "/dev" ? names : std::vector<std::string>{};
    }
    std::optional<std::string> readText(const std::string&) override { return product; }

    // What every node says of itself: the driver's card and bus texts, the USB product string.
    std::string card, busInfo;
    std::optional<std::string> product;

private:
    static constexpr std::size_t pageSize = 4096;
    struct Buffer {
        std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(stride * height);
        v4l2_buffer filled{};
        bool mapped = false;
    };

    int control(std::uint32_t deviceCaps, unsigned long request, void* argument) {
        auto* buffer = static_cast<v4l2_buffer*>(argument);  // for the buffer requests
        switch (request) {
            case VIDIOC_QUERYCAP: {
                auto* capability = static_cast<v4l2_capability*>(argument);
                *capability = {};
                card.copy(reinterpret_cast<char*>(capability->card), sizeof capability->card);
                busInfo.copy(reinterpret_cast<char*>(capability->bus_info), sizeof capability->bus_info);
                capability->device_caps = deviceCaps;
                capability->capabilities = deviceCaps | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_DEVICE_CAPS;
                return 0;
            }
            case VIDIOC_G_FMT: {
                auto& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
                pix = {};
                pix.pixelformat = V4L2_PIX_FMT_YUYV;
                pix.width = width;
                pix.height = height;
                pix.bytesperline = stride;
                pix.sizeimage = stride * height;
                return 0;
            }
            case VIDIOC_REQBUFS:
                if (std::ranges::any_of(buffers_, &Buffer::mapped)) return fail(EBUSY);
                buffers_.assign(static_cast<v4l2_requestbuffers*>(argument)->count, Buffer{});
                queued_.clear();
                done_.clear();
                queueings_ = 0;
                return 0;
            case VIDIOC_QUERYBUF:
                if (buffer->index >= buffers_.size()) return fail(EINVAL);
                buffer->length = static_cast<std::uint32_t>(buffers_[buffer->index].memory.size());
                buffer->m.offset = static_cast<std::uint32_t>(buffer->index * pageSize);
                return 0;
            case VIDIOC_QBUF:
                if (buffer->index >= buffers_.size()) return fail(EINVAL);
                queued_.push_back(buffer->index);
                ++queueings_;
                changed_.notify_all();
                return 0;
            case VIDIOC_DQBUF:
                if (!streaming_) return fail(EINVAL);
                if (done_.empty()) return fail(EAGAIN);
                *buffer = buffers_[done_.front()].filled;
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

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    const std::map<int, std::uint32_t> nodes_;
    std::multiset<int> open_;
    bool unplugged_ = false;
    bool streaming_ = false;
    std::vector<Buffer> buffers_;
    std::deque<std::uint32_t> queued_, done_;
    int queueings_ = 0;
};

// Collects what the video data output hands on; its fields change and are read on controlQueue.
struct Receiver final : VideoDataOutputDelegate {
    void didOutputVideo(const VideoSample& sample) override { samples.push_back(sample); }
    void didDropVideo() override { ++drops; }

    // Polls until they have arrived; each read lets the output take the next frame.
    bool waitFor(std::size_t frames, int dropped) {
        return qvtest::waitUntil([&] {
            bool met = false;
            controlQueue().sync([&] { met = samples.size() >= frames && drops >= dropped; });
            return met;
        });
    }

    std::vector<VideoSample> samples;
    int drops = 0;
};

class V4l2InputTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto cameras = listV4l2Cameras(kernel);
        ASSERT_EQ(cameras.size(), 1u);
        device = std::make_shared<V4l2Device>(kernel, cameras[0]);
        input = std::static_pointer_cast<V4l2Input>(device->createInput());
        output->setDelegate(receiver);
        ASSERT_TRUE(input->start({output}));
        ASSERT_TRUE(kernel.pushFrame(7, 0, {100, 500000}));
        ASSERT_TRUE(receiver->waitFor(1, 0));
    }

    // The metadata node a UVC camera also has is not a camera.
    FakeKernel kernel{
        {{0, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING}, {1, V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING}}};
    std::shared_ptr<Receiver> receiver = std::make_shared<Receiver>();
    std::shared_ptr<VideoDataOutput> output = std::make_shared<VideoDataOutput>();
    std::shared_ptr<V4l2Device> device;
    std::shared_ptr<V4l2Input> input;
};

}  // namespace

TEST_F(V4l2InputTest, FramesArriveAsBgraDropsAreCountedAndStopIsBoundedAndReleasesAll) {
    VideoSample first;
    controlQueue().sync([&] { first = receiver->samples.at(0); });
    EXPECT_DOUBLE_EQ(first.presentationTime, 100.5);
    ASSERT_EQ(first.image->width(), width);
    ASSERT_EQ(first.image->height(), height);
    for (int y : {0, height - 1}) {
        for (int c = 0; c < 4; ++c) {
            SCOPED_TRACE("channel " + std::to_string(c) + ", row " + std::to_string(y));
            EXPECT_NEAR(first.image->row(y)[2 * 4 + c], c >= 2 ? 255 : 0, 3);  // red, in BGRA
            EXPECT_NEAR(first.image->row(y)[13 * 4 + c], 255, 3);              // white
        }
    }

    // The driver skipped sequence numbers 8 and 9, then filled a buffer with an error.
    ASSERT_TRUE(kernel.pushFrame(10));
    ASSERT_TRUE(receiver->waitFor(2, 2));
    ASSERT_TRUE(kernel.pushFrame(11, V4L2_BUF_FLAG_ERROR));
    ASSERT_TRUE(receiver->waitFor(2, 3));
    ASSERT_TRUE(kernel.waitForRequeued(3));

    const auto before = std::chrono::steady_clock::now();
    input->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));  // bounded
    EXPECT_FALSE(input->streaming());
    EXPECT_FALSE(kernel.pushFrame(12));  // no buffer is queued any more
    EXPECT_TRUE(input->release());
    EXPECT_TRUE(kernel.released());
    controlQueue().sync([&] {
        EXPECT_EQ(receiver->samples.size(), 2u);
        EXPECT_EQ(receiver->drops, 3);
    });
}

TEST_F(V4l2InputTest, UnpluggingEndsTheStreamAndTheNodeIsStillReleased) {
    kernel.unplug();
    EXPECT_TRUE(qvtest::waitUntil([&] { return !input->streaming(); }));
    EXPECT_TRUE(input->unplugged());
    input->stop();
    EXPECT_TRUE(input->release());
    EXPECT_TRUE(kernel.released());
}

TEST(V4l2Inventory, DriverAndSysfsTextsThatAreNotUtf8AreListedWithReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    struct Case {
        std::string card, busInfo;
        std::optional<std::string> product;
        std::string uniqueId, name;
    };
    // The card field holds 32 bytes; the second card is cut there, inside a two-byte sequence.
    const Case cases[] = {
        {"Cam\xE9ra", "usb-\xFE-1", std::nullopt, "v4l2:usb-" + r + "-1", "Cam" + r + "ra"},
        {std::string(31, 'C') + "\xC3\xA9", "usb-2", std::nullopt, "v4l2:usb-2", std::string(31, 'C') + r},
        {"UVC Camera", "usb-3", "Caf\xE9 Player\n", "v4l2:usb-3", "Caf" + r + " Player"},
        {"UVC Camera", "usb-4", "Caf\xC3\xA9 Player\n", "v4l2:usb-4", "Caf\xC3\xA9 Player"},
    };
    for (const auto& c : cases) {
        FakeKernel kernel(std::map<int, std::uint32_t>{{0, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING}});
        std::tie(kernel.card, kernel.busInfo, kernel.product) = std::tie(c.card, c.busInfo, c.product);
        const auto cameras = listV4l2Cameras(kernel);
        ASSERT_EQ(cameras.size(), 1u);
        EXPECT_EQ(std::tie(cameras[0].uniqueId, cameras[0].name), std::tie(c.uniqueId, c.name));
    }
}
