#include "TestSupport.h"
#include "base/Clock.h"
#include "base/Runtime.h"
#include "device/AudioDataOutput.h"
#include "device/linux/AlsaDevice.h"
#include "device/linux/AlsaInput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <thread>

using namespace qv;

namespace {

constexpr int rate = 48000;
constexpr int channels = 2;
constexpr int chunkFrames = 480;  // 10 ms

// The fed signal: the n-th value, counting both channels, interleaved.
std::int16_t fed(std::int64_t n) {
    return static_cast<std::int16_t>(n % 30000);
}

// Written and read on controlQueue.
struct Collector final : AudioDataOutputDelegate {
    void didOutputAudio(const AudioSample& sample) override { samples.push_back(sample); }
    std::vector<AudioSample> samples;
};

}  // namespace

// alsa-lib's file plugin reads a FIFO that a thread feeds with a known signal at the real rate.
TEST(AlsaInput, CapturesS16AtTheDeviceRateInPeriodsWithMonotonicTimes) {
    std::signal(SIGPIPE, SIG_IGN);  // the feeder notices the closed FIFO through its write
    qvtest::TempDir dir;
    const std::string fifo = dir.path() + "/input";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string config = dir.path() + "/asound.conf";
    std::ofstream(config) << "pcm.qvtest {\n  type file\n  slave.pcm { type null }\n  file \"/dev/null\"\n"
                          << "  infile \"" << fifo << "\"\n  format \"raw\"\n}\n";
    ::setenv("ALSA_CONFIG_PATH", config.c_str(), 1);

    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the reader
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::int16_t> chunk(chunkFrames * channels);  // below PIPE_BUF: arrives whole
        const auto bytes = static_cast<ssize_t>(chunk.size() * sizeof(std::int16_t));
        for (std::int64_t k = 0; fd >= 0 && !stop; ++k) {
            for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = fed(k * chunk.size() + i);
            if (::write(fd, chunk.data(), static_cast<std::size_t>(bytes)) != bytes) break;
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (k + 1)));
        }
        if (fd >= 0) ::close(fd);
    });
    auto collector = std::make_shared<Collector>();
    auto output = std::make_shared<AudioDataOutput>();
    output->setDelegate(collector);
    const double before = mono();
    const auto input =
        std::make_shared<AlsaDevice>(AlsaMicrophone{"qvtest", "alsa:Test:0", "Microphone"})->createInput();
    ASSERT_TRUE(input->start({output}));
    EXPECT_TRUE(qvtest::waitUntil([&] {  // half a second
        std::size_t blocks = 0;
        controlQueue().sync([&] { blocks = collector->samples.size(); });
        return blocks >= 50;
    }));
    input->stop();
    EXPECT_TRUE(input->release());
    const double after = mono();
    controlQueue().sync([] {});
    stop = true;
    feeder.join();
    ::unsetenv("ALSA_CONFIG_PATH");

    const auto& samples = collector->samples;
    ASSERT_GE(samples.size(), 50u);
    std::int64_t n = 0;
    double previous = -1;
    for (const auto& sample : samples) {
        // One 10 ms period per block, at the device's rate and channels.
        EXPECT_EQ(std::tuple(sample.format.sampleRate, sample.format.channels, sample.frames()),
                  std::tuple(rate, channels, std::int64_t{chunkFrames}));
        // The fed signal, in order, with nothing lost or repeated.
        for (const std::int16_t value : sample.samples) ASSERT_EQ(value, fed(n++)) << "value " << n - 1;
        EXPECT_GT(sample.presentationTime, previous);
        EXPECT_GE(sample.presentationTime, before - 0.5);
        EXPECT_LE(sample.presentationTime, after);
        previous = sample.presentationTime;
    }
}
