#include "PipeWireStack.h"
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

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <thread>

using namespace qv;

namespace {

// Written and read on controlQueue.
struct Collector final : AudioDataOutputDelegate {
    void didOutputAudio(const AudioSample& sample) override { samples.push_back(sample); }
    std::vector<AudioSample> samples;
};

// What the microphone of that ALSA name delivers in half a second of 10 ms blocks (at least), once
// stopped and released: each block at 48 kHz in two channels and later than the one before.
std::vector<AudioSample> capture(const std::string& name, double timeout) {
    const auto input =
        std::make_shared<AlsaDevice>(AlsaMicrophone{name, "alsa:" + name, "Microphone"})->createInput();
    auto collector = std::make_shared<Collector>();
    auto output = std::make_shared<AudioDataOutput>();
    output->setDelegate(collector);
    EXPECT_TRUE(input->start({output}));
    EXPECT_TRUE(qvtest::waitUntil(
        [&] {
            std::size_t blocks = 0;
            controlQueue().sync([&] { blocks = collector->samples.size(); });
            return blocks >= 50;
        },
        timeout));
    input->stop();
    EXPECT_TRUE(input->release());
    controlQueue().sync([] {});
    double previous = -1;
    for (const auto& sample : collector->samples) {
        EXPECT_EQ(std::pair(sample.format.sampleRate, sample.format.channels), std::pair(48000, 2));
        EXPECT_GT(sample.presentationTime, previous);
        previous = sample.presentationTime;
    }
    return collector->samples;
}

}  // namespace

// alsa-lib's file plugin reads a FIFO that a thread feeds with a known signal at the real rate.
TEST(AlsaInput, CapturesS16AtTheDeviceRateInPeriodsWithMonotonicTimes) {
    constexpr int chunkFrames = 480;  // 10 ms
    // The fed signal: the n-th value, counting both channels, interleaved.
    const auto fed = [](std::int64_t n) { return static_cast<std::int16_t>(n % 30000); };
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
        std::vector<std::int16_t> chunk(chunkFrames * 2);  // below PIPE_BUF: arrives whole
        const auto bytes = static_cast<ssize_t>(chunk.size() * sizeof(std::int16_t));
        for (std::int64_t k = 0; fd >= 0 && !stop; ++k) {
            for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = fed(k * chunk.size() + i);
            if (::write(fd, chunk.data(), static_cast<std::size_t>(bytes)) != bytes) break;
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (k + 1)));
        }
        if (fd >= 0) ::close(fd);
    });
    const double before = mono();
    const auto samples = capture("qvtest", 10.0);
    const double after = mono();
    stop = true;
    feeder.join();
    ::unsetenv("ALSA_CONFIG_PATH");

    ASSERT_GE(samples.size(), 50u);
    std::int64_t n = 0;
    for (const auto& sample : samples) {
        // One 10 ms period per block, holding the fed signal in order, with nothing lost or repeated.
        EXPECT_EQ(sample.frames(), chunkFrames);
        for (const std::int16_t value : sample.samples) ASSERT_EQ(value, fed(n++)) << "value " << n - 1;
        EXPECT_GE(sample.presentationTime, before - 0.5);
        EXPECT_LE(sample.presentationTime, after);
    }
}

// The ALSA capture meets an implementation written elsewhere: PipeWire's ALSA plugin, which
// records the graph's default source, here the test player's 440 Hz tone.
TEST(AlsaInput, CapturesThroughThePipeWirePlugin) {
    qvtest::PipeWireStack stack;
    if (!stack.running()) GTEST_SKIP() << "PipeWire and WirePlumber could not be started here";
    ASSERT_GT(stack.addPlayer(), 0);
    for (const auto& [key, value] : stack.env()) ::setenv(key.c_str(), value.c_str(), 1);
    std::vector<AudioSample> samples;
    try {
        samples = capture("pipewire", 20.0);
    } catch (const std::exception&) {
        GTEST_SKIP() << "PipeWire's ALSA plugin is not installed";
    }
    std::int16_t loudest = 0;
    for (const auto& sample : samples)
        for (const auto value : sample.samples) loudest = std::max<std::int16_t>(loudest, value);
    EXPECT_GT(loudest, 1000);  // the tone, not silence
}
