// The ALSA capture's stamps (the driver's position and time from snd_pcm_status) carry a
// microphone's clock error into the recording, which follows it: captured through PipeWire's ALSA
// plugin from a test player whose microphone drives its graph on a clock that runs fast or slow.

#include "PipeWireStack.h"
#include "SyncMarks.h"
#include "TestSupport.h"
#include "base/Runtime.h"
#include "device/AudioDataOutput.h"
#include "device/CaptureInput.h"
#include "device/linux/AlsaDevice.h"
#include "media/MovieWriter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace qv;

// Named apart from the other capture tests' helpers, with which a unity build compiles this file.
namespace alsasync {

constexpr int seconds = 30;
constexpr int fps = 60;

// Written and read on controlQueue.
struct Blocks final : AudioDataOutputDelegate {
    void didOutputAudio(const AudioSample& sample) override { samples.push_back(sample); }
    void didDropAudio(int count) override { dropped += count; }
    std::vector<AudioSample> samples;
    int dropped = 0;
};

// The longest stretch of silence in what was captured, in seconds (one channel, blocks end to end,
// silence as the file reader counts it: under 1% of full scale).
double longestCapturedSilence(const std::vector<AudioSample>& blocks) {
    std::int64_t quiet = 0;
    std::int64_t longest = 0;
    for (const AudioSample& block : blocks) {
        for (std::size_t i = 0; i < block.samples.size();
             i += static_cast<std::size_t>(block.format.channels)) {
            quiet = std::abs(block.samples[i]) < 328 ? quiet + 1 : 0;
            longest = std::max(longest, quiet);
        }
    }
    return static_cast<double>(longest) / blocks.front().format.sampleRate;
}

// Writes the captured blocks to `path` beside a picture that the test player's marks would show: a
// 60 fps grid counted from the monotonic clock's zero, white at every whole second. Returns whether
// the file was completed.
bool record(const std::vector<AudioSample>& blocks, const std::string& dir, const std::string& name) {
    const int directory = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    MovieWriter writer(::open((dir + "/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600),
                       directory, name);
    VideoSettings video;
    video.width = video.height = 32;
    video.averageBitRate = 200'000;
    video.preset = "ultrafast";
    if (!writer.addVideo(video) ||
        !writer.addAudio({blocks.front().format.sampleRate, blocks.front().format.channels, 128'000}) ||
        !writer.startWriting()) {
        ::close(directory);
        return false;
    }
    // Time zero on a frame of the grid a little after the first block.
    auto frame = static_cast<std::int64_t>(std::ceil((blocks.front().presentationTime + 0.05) * fps));
    const double start = static_cast<double>(frame) / fps;
    writer.startSession(start);
    bool appended = true;
    for (const AudioSample& block : blocks) {
        for (; static_cast<double>(frame) / fps <= block.presentationTime; ++frame) {
            const bool white = frame % fps == 0;
            appended = appended && qvtest::waitUntil([&] { return writer.isVideoReady(); }) &&
                       writer.appendVideo(
                           [white](YuvFrame& picture) {
                               std::memset(picture.plane(0), white ? 235 : 60,
                                           static_cast<std::size_t>(picture.stride(0)) * 32);
                               for (int plane = 1; plane < 3; ++plane)
                                   std::memset(picture.plane(plane), 128,
                                               static_cast<std::size_t>(picture.stride(plane)) * 16);
                           },
                           static_cast<double>(frame) / fps);
        }
        if (block.presentationTime < start) continue;
        appended =
            appended && qvtest::waitUntil([&] { return writer.isAudioReady(); }) && writer.appendAudio(block);
    }
    writer.markVideoFinished();
    writer.markAudioFinished();
    std::atomic<bool> done{false};
    writer.finish([&] { done = true; });
    const bool finished = qvtest::waitUntil([&] { return done.load(); }, 60.0);
    ::close(directory);
    return appended && finished && writer.status() == MovieWriter::Status::completed;
}

// A capture through the plugin from a test player of its own stack, whose microphone clock runs
// `ppm` fast with a mark every second. The plugin reaches that stack's daemon by its socket's path.
struct Run {
    explicit Run(double clockPpm) : ppm(clockPpm) {}
    double ppm;
    qvtest::PipeWireStack stack;
    std::shared_ptr<CaptureInput> input;
    std::shared_ptr<Blocks> blocks = std::make_shared<Blocks>();
    std::shared_ptr<AudioDataOutput> output = std::make_shared<AudioDataOutput>();

    // Seconds between the first block's time and the last's.
    double heard() const {
        double span = 0;
        controlQueue().sync([&] {
            if (!blocks->samples.empty())
                span = blocks->samples.back().presentationTime - blocks->samples.front().presentationTime;
        });
        return span;
    }
};

}  // namespace alsasync

// Captures 30 s at +1000 and -1000 ppm, both at once, and checks each recording as the helper's own
// sync tests do: each burst within 20 ms of its white frame in the first 10 s and within 10 ms
// after, and no silence laid into the tone. Uncorrected, 1,000 ppm would be 30 ms off by the end.
TEST(AlsaSyncThroughPipeWire, FastAndSlowMicrophoneClocksStayInStep) {
    std::vector<std::unique_ptr<alsasync::Run>> runs;
    for (const double ppm : {1000.0, -1000.0}) {
        auto& run = *runs.emplace_back(std::make_unique<alsasync::Run>(ppm));
        if (!run.stack.running()) GTEST_SKIP() << "PipeWire and WirePlumber could not be started here";
        ASSERT_GT(run.stack.addPlayer("Quorvelle - Player 01", "YUY2", ppm, 1000), 0);
        const std::string pcm =
            "pipewire:SERVER=" + run.stack.env().at("PIPEWIRE_RUNTIME_DIR") + "/pipewire-0";
        try {
            run.input = std::make_shared<AlsaDevice>(AlsaMicrophone{pcm, "alsa:pipewire", "Microphone"})
                            ->createInput();
        } catch (const std::exception&) {
            GTEST_SKIP() << "PipeWire's ALSA plugin is not installed";
        }
        run.output->setDelegate(run.blocks);
    }
    for (const auto& run : runs) ASSERT_TRUE(run->input->start({run->output}));
    EXPECT_TRUE(qvtest::waitUntil(
        [&] {
            return std::all_of(runs.begin(), runs.end(),
                               [](const auto& run) { return run->heard() >= alsasync::seconds + 0.5; });
        },
        alsasync::seconds + 30.0));
    for (const auto& run : runs) {
        run->input->stop();
        EXPECT_TRUE(run->input->release());
    }
    controlQueue().sync([] {});

    for (const auto& run : runs) {
        const std::string what = std::to_string(static_cast<int>(run->ppm)) + " ppm";
        SCOPED_TRACE(what);
        ASSERT_FALSE(run->blocks->samples.empty());
        EXPECT_EQ(run->blocks->dropped, 0);
        const qvtest::TempDir dir;
        ASSERT_TRUE(alsasync::record(run->blocks->samples, dir.path(), "sync.mp4"));
        const qvtest::SyncMarks marks = qvtest::readSyncMarks(dir.path() + "/sync.mp4");
        ASSERT_TRUE(marks.readable);
        EXPECT_GE(marks.bursts.size(), static_cast<std::size_t>(alsasync::seconds - 1));
        const auto [early, late] = marks.largestOffsets(1.0, 10.0);
        EXPECT_LE(early, 0.020);
        EXPECT_LE(late, 0.010);
        // No silence is laid into the tone: the file is silent only where the sound the plugin
        // handed on already was (it fills what it could not deliver in time with silence).
        const double captured = alsasync::longestCapturedSilence(run->blocks->samples);
        EXPECT_LE(marks.longestSilence, captured + 0.001);
        ::testing::Test::RecordProperty(what, "largest offset " + std::to_string(early * 1000) +
                                                  " ms in the first 10 s, " + std::to_string(late * 1000) +
                                                  " ms after; longest silence " +
                                                  std::to_string(marks.longestSilence * 1000) +
                                                  " ms, captured " + std::to_string(captured * 1000) + " ms");
    }
}
