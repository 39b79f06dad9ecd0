#include "HelperProcess.h"
#include "platform/AlsaDevice.h"
#include "platform/AlsaInput.h"
#include "platform/AlsaInventory.h"
#include "platform/AudioDataOutput.h"
#include "platform/Runtime.h"
#include "protocol/CaptureError.h"
#include "protocol/Clock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <mutex>
#include <thread>

using namespace qv;

namespace {

constexpr double patience = 10.0;
constexpr int rate = 48000;
constexpr int channels = 2;
constexpr int chunkFrames = 480;  // 10 ms

std::int16_t patternValue(std::int64_t frame, int channel) {
    const auto base = static_cast<std::int16_t>(frame % 30000);
    return channel == 0 ? base : static_cast<std::int16_t>(-base);
}

// Feeds a FIFO with a known signal at the real rate, 10 ms at a time, until stopped. Each chunk is
// smaller than PIPE_BUF, so it reaches the reader whole.
class PacedWriter {
public:
    explicit PacedWriter(std::string path) : path_(std::move(path)) {
        thread_ = std::thread([this] { run(); });
    }
    ~PacedWriter() {
        stop_ = true;
        thread_.join();
    }

private:
    void run() {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the reader
        if (fd < 0) return;
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::int16_t> chunk(chunkFrames * channels);
        for (std::int64_t k = 0; !stop_; ++k) {
            for (int i = 0; i < chunkFrames; ++i) {
                for (int c = 0; c < channels; ++c)
                    chunk[i * channels + c] = patternValue(k * chunkFrames + i, c);
            }
            const auto bytes = chunk.size() * sizeof(std::int16_t);
            if (::write(fd, chunk.data(), bytes) != static_cast<ssize_t>(bytes)) break;  // reader gone
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (k + 1)));
        }
        ::close(fd);
    }

    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Collector final : public AudioDataOutputDelegate {
public:
    void didOutputAudio(const AudioSample& sample) override {
        EXPECT_TRUE(controlQueue().isCurrent());
        std::lock_guard lock(mutex_);
        frames_ += sample.frames();
        samples_.push_back(sample);
        changed_.notify_all();
    }
    bool waitForFrames(std::int64_t frames) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(patience),
                                 [&] { return frames_ >= frames; });
    }
    std::vector<AudioSample> samples() {
        std::lock_guard lock(mutex_);
        return samples_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<AudioSample> samples_;
    std::int64_t frames_ = 0;
};

std::shared_ptr<AlsaDevice> microphone(const std::string& pcm) {
    return std::make_shared<AlsaDevice>(
        AlsaMicrophone{pcm, "alsa:Test:0", "Microphone (Quorvelle - Player 01)"});
}

}  // namespace

TEST(AlsaInput, CapturesS16AtTheDeviceRateInPeriodsWithMonotonicTimes) {
    std::signal(SIGPIPE, SIG_IGN);  // the writer notices the closed FIFO through its write
    qvtest::TempDir dir;
    const std::string fifo = dir.path() + "/input";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string config = dir.path() + "/asound.conf";
    std::ofstream(config) << "pcm.qvtest {\n  type file\n  slave.pcm { type null }\n  file \"/dev/null\"\n"
                          << "  infile \"" << fifo << "\"\n  format \"raw\"\n}\n";
    ::setenv("ALSA_CONFIG_PATH", config.c_str(), 1);

    auto collector = std::make_shared<Collector>();
    auto output = std::make_shared<AudioDataOutput>();
    output->setDelegate(collector);
    PacedWriter writer(fifo);
    const double before = mono();
    const auto input = std::static_pointer_cast<AlsaInput>(microphone("qvtest")->createInput());
    EXPECT_EQ(input->format().sampleRate, rate);
    EXPECT_EQ(input->format().channels, channels);
    ASSERT_TRUE(input->start({output}));
    ASSERT_TRUE(collector->waitForFrames(rate / 2));
    input->stop();
    EXPECT_FALSE(input->streaming());
    EXPECT_TRUE(input->release());
    const double after = mono();
    controlQueue().sync([] {});
    ::unsetenv("ALSA_CONFIG_PATH");

    const auto samples = collector->samples();
    ASSERT_GE(samples.size(), 50u);
    std::int64_t frame = 0;
    double previous = -1;
    for (const auto& sample : samples) {
        EXPECT_EQ(sample.format.sampleRate, rate);
        EXPECT_EQ(sample.format.channels, channels);
        EXPECT_EQ(sample.frames(), chunkFrames);  // one 10 ms period per block
        // The samples are the fed signal, in order, with nothing lost or repeated.
        for (std::int64_t i = 0; i < sample.frames(); ++i, ++frame) {
            for (int c = 0; c < channels; ++c) {
                ASSERT_EQ(sample.samples[i * channels + c], patternValue(frame, c)) << "frame " << frame;
            }
        }
        EXPECT_GT(sample.presentationTime, previous);
        EXPECT_GE(sample.presentationTime, before - 0.5);
        EXPECT_LE(sample.presentationTime, after);
        previous = sample.presentationTime;
    }
    // Fed at the real rate, the blocks' times span about as long as their samples last.
    const double span = samples.back().presentationTime - samples.front().presentationTime;
    const double duration = static_cast<double>(frame - chunkFrames) / rate;
    EXPECT_NEAR(span, duration, 0.25);
}

TEST(AlsaInput, APcmThatDoesNotExistCannotBeOpened) {
    try {
        microphone("plughw:CARD=NoSuchCard,DEV=0")->createInput();
        FAIL() << "opened a missing card";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), "ALSA");
    }
}

namespace {

// Sound nodes whose permissions a test chooses.
class SoundNodes final : public DeviceIo {
public:
    std::map<std::string, int> nodes;  // name under /dev/snd → errno of open, 0 to succeed

    int open(const std::string& path, int) override {
        const auto node = nodes.find(path.substr(std::string("/dev/snd/").size()));
        if (node == nodes.end()) return errno = ENOENT, -1;
        if (node->second != 0) return errno = node->second, -1;
        return 3;
    }
    int close(int) override { return 0; }
    int ioctl(int, unsigned long, void*) override { return errno = ENOTTY, -1; }
    void* mmap(std::size_t, int, int, int, off_t) override { return errno = ENODEV, MAP_FAILED; }
    int munmap(void*, std::size_t) override { return 0; }
    int poll(pollfd*, nfds_t, int) override { return 0; }
    std::vector<std::string> listDirectory(const std::string& path) override {
        std::vector<std::string> names;
        if (path == "/dev/snd") {
            for (const auto& [name, error] : nodes) names.push_back(name);
        }
        return names;
    }
    std::optional<std::string> readText(const std::string&) override { return std::nullopt; }
};

}  // namespace

TEST(AlsaInventory, PermissionIsDeniedOnlyWhenASoundNodeRefusesAccess) {
    SoundNodes nodes;
    EXPECT_EQ(alsaPermission(nodes), AuthorizationStatus::authorized);
    nodes.nodes = {{"controlC0", 0}, {"timer", EACCES}};
    EXPECT_EQ(alsaPermission(nodes), AuthorizationStatus::authorized);
    nodes.nodes["controlC1"] = EBUSY;
    EXPECT_EQ(alsaPermission(nodes), AuthorizationStatus::authorized);
    nodes.nodes["controlC2"] = EACCES;
    EXPECT_EQ(alsaPermission(nodes), AuthorizationStatus::denied);
    nodes.nodes["controlC2"] = EPERM;
    EXPECT_EQ(alsaPermission(nodes), AuthorizationStatus::denied);
}
