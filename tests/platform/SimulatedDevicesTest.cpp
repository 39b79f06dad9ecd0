#include "TestSupport.h"
#include "platform/AudioDataOutput.h"
#include "platform/CaptureSession.h"
#include "platform/Runtime.h"
#include "platform/SimulatedAudioInput.h"
#include "platform/SimulatedDeviceSystem.h"
#include "platform/SimulatedFrameSchedule.h"
#include "platform/VideoDataOutput.h"
#include "protocol/CaptureError.h"
#include "protocol/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace qv {
namespace {

SimulatedDeviceConfig config(const Json& value) {
    return SimulatedDeviceConfig::parse(value.dump());
}

TEST(SimulatedDeviceConfigTest, DefaultsFillEveryOptionalKey) {
    const auto parsed =
        config({{"video", {{{"id", "v"}, {"name", ""}}}}, {"audio", {{{"id", "a"}, {"name", "m"}}}}});
    ASSERT_EQ(parsed.video.size(), 1u);
    const auto& camera = parsed.video[0];
    EXPECT_EQ(camera.width, 160);
    EXPECT_EQ(camera.height, 144);
    EXPECT_EQ(camera.fps, 60);
    ASSERT_EQ(camera.formats.size(), 1u);
    EXPECT_EQ(camera.formats[0].width, 160);
    EXPECT_EQ(camera.formats[0].frameRateRanges, (std::vector<FrameRateRange>{{60, 60}}));
    EXPECT_FALSE(camera.listings);
    EXPECT_EQ(camera.startFailure, SimulatedStartFailure::none);
    EXPECT_FALSE(camera.releaseFails);
    EXPECT_EQ(parsed.audio[0].sampleRate, 48000);
    EXPECT_EQ(parsed.audio[0].channels, 1);
    EXPECT_FALSE(parsed.audio[0].silent);
    EXPECT_EQ(parsed.videoPermission, AuthorizationStatus::authorized);
    EXPECT_EQ(parsed.audioAnswer.answerAfterMs, 0.0);
    EXPECT_TRUE(parsed.audioAnswer.grant);
    // An answer "after null" never comes.
    EXPECT_FALSE(config({{"permissionRequests", {{"video", {{"answerAfterMs", nullptr}}}}}})
                     .videoAnswer.answerAfterMs);
    EXPECT_TRUE(config(Json::object()).video.empty());
}

TEST(SimulatedDeviceConfigTest, AnythingElseIsRejected) {
    for (const char* text :
         {"",
          "not json",
          "[]",
          "1",
          "null",
          R"({"video":{}})",
          R"({"video":[{"name":"x"}]})",
          R"({"video":[{"id":"","name":"x"}]})",
          R"({"video":[{"id":"a","name":1}]})",
          R"({"video":[{"id":"a","name":"x","fps":0}]})",
          R"({"video":[{"id":"a","name":"x","fps":241}]})",
          R"({"video":[{"id":"a","name":"x","width":-1}]})",
          R"({"video":[{"id":"a","name":"x","width":1.5}]})",
          R"({"video":[{"id":"a","name":"x","startFailure":"later"}]})",
          R"({"video":[{"id":"a","name":"x","resizeAfterFrames":3}]})",
          R"({"video":[{"id":"a","name":"x","formats":[{"width":1,"height":1,"ranges":[[1]]}]}]})",
          R"({"video":[{"id":"a","name":"x","listings":-1}]})",
          R"({"video":[{"id":"a","name":"x","releaseFails":"yes"}]})",
          R"({"video":[{"id":"a","name":"x","colour":1}]})",
          R"({"video":[{"id":"a","name":"x"},{"id":"a","name":"y"}]})",
          R"({"audio":[{"id":"a","name":"x","sampleRate":0}]})",
          R"({"audio":[{"id":"a","name":"x","silent":1}]})",
          R"({"permissions":{"video":"granted"}})",
          R"({"permissionRequests":{"audio":{"answerAfterMs":-5}}})",
          R"({"players":[]})"}) {
        EXPECT_EQ(qvtest::thrown([&] { SimulatedDeviceConfig::parse(text); }),
                  "SIMULATION_CONFIG / Simulated device configuration is invalid")
            << text;
    }
}

TEST(SimulatedFrameScheduleTest, StallDropAndResizeFollowTheFrameCount) {
    const auto device = config({{"video",
                                 {{{"id", "v"},
                                   {"name", "n"},
                                   {"stallAfterFrames", 7},
                                   {"dropEvery", 3},
                                   {"resizeAfterFrames", 4},
                                   {"resizeTo", {4097, 1}}}}}})
                            .video[0];
    SimulatedFrameSchedule schedule(device);
    std::vector<bool> dropped;
    std::vector<int> widths;
    while (const auto frame = schedule.next()) {
        dropped.push_back(frame->dropped);
        widths.push_back(frame->width);
    }
    EXPECT_EQ(dropped, (std::vector<bool>{false, false, true, false, false, true, false}));
    EXPECT_EQ(widths, (std::vector<int>{160, 160, 160, 160, 4097, 4097, 4097}));
    EXPECT_FALSE(schedule.next());
}

// Collects what a session delivers; its fields are read on controlQueue.
struct Sink : VideoDataOutputDelegate, AudioDataOutputDelegate {
    std::vector<VideoSample> frames;
    int drops = 0;
    std::vector<AudioSample> audio;
    void didOutputVideo(const VideoSample& sample) override { frames.push_back(sample); }
    void didDropVideo() override { ++drops; }
    void didOutputAudio(const AudioSample& sample) override { audio.push_back(sample); }
};

// Polls `condition` on controlQueue until it holds; generous so that a loaded machine passes.
bool eventually(const std::function<bool()>& condition) {
    const double limit = mono() + 20;
    while (mono() < limit) {
        bool met = false;
        controlQueue().sync([&] { met = condition(); });
        if (met) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

template <typename T>
T onControlQueue(const std::function<T()>& read) {
    T value{};
    controlQueue().sync([&] { value = read(); });
    return value;
}

struct Rig {
    std::shared_ptr<SimulatedDeviceSystem> system;
    std::shared_ptr<Sink> sink = std::make_shared<Sink>();
    std::shared_ptr<VideoDataOutput> video = std::make_shared<VideoDataOutput>();
    std::shared_ptr<AudioDataOutput> audio = std::make_shared<AudioDataOutput>();
    CaptureSession session;

    explicit Rig(const Json& value) : system(std::make_shared<SimulatedDeviceSystem>(config(value))) {
        video->setDelegate(sink);
        audio->setDelegate(sink);
        session.addOutput(video);
        session.addOutput(audio);
    }
    void attach(MediaType media) { session.addInput(system->devices(media).at(0)->createInput()); }
};

Json camera(Json extra = Json::object()) {
    Json device{{"id", "v"}, {"name", "Quorvelle - Player 01"}, {"fps", 240}};
    device.update(extra);
    return device;
}

TEST(SimulatedSessionTest, FramesShowTheTestPictureWithMonotonicTimes) {
    Rig rig(Json{{"video", {camera()}}});
    rig.attach(MediaType::video);
    const double before = mono();
    rig.session.startRunning();
    ASSERT_TRUE(rig.session.isRunning());
    ASSERT_TRUE(eventually([&] { return rig.sink->frames.size() >= 3; }));
    rig.session.stopRunning();
    const auto frames = onControlQueue<std::vector<VideoSample>>([&] { return rig.sink->frames; });
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].image->width(), 160);
        EXPECT_EQ(frames[i].image->height(), 144);
        EXPECT_GE(frames[i].presentationTime, before);
        if (i > 0) {
            EXPECT_GT(frames[i].presentationTime, frames[i - 1].presentationTime);
        }
    }
    EXPECT_EQ(frames[0].image->row(5)[4 * 10 + 1], 10);
}

TEST(SimulatedSessionTest, MicrophoneDeliversTenMillisecondBuffersInItsOwnFormat) {
    Json microphone{{"id", "a"}, {"name", "m"}, {"sampleRate", 7999}, {"channels", 3}};
    Rig rig(Json{{"audio", {microphone}}});
    rig.attach(MediaType::audio);
    rig.session.startRunning();
    ASSERT_TRUE(eventually([&] { return rig.sink->audio.size() >= 2; }));
    rig.session.stopRunning();
    rig.session.removeInput(rig.session.inputs().at(0));
    EXPECT_TRUE(rig.session.inputs().empty());
    const auto first = onControlQueue<AudioSample>([&] { return rig.sink->audio.front(); });
    EXPECT_EQ(first.format.sampleRate, 7999);
    EXPECT_EQ(first.format.channels, 3);
    EXPECT_EQ(first.frames(), 79);
}

TEST(SimulatedAudioTest, ToneBuffersAreContinuous440Hz) {
    const AudioFormat format{48000, 2};
    const AudioSample first = SimulatedAudioInput::toneBuffer(format, 0);
    ASSERT_EQ(first.frames(), 480);
    EXPECT_EQ(first.samples[0], 0);
    EXPECT_GT(first.samples[2 * 12], 0);
    EXPECT_EQ(first.samples[2 * 12], first.samples[2 * 12 + 1]);
    // A period is 48000 / 440 frames: buffer 11 starts 48.4 periods in, buffer 12 52.8 periods in.
    EXPECT_GT(SimulatedAudioInput::toneBuffer(format, 11).samples[0], 0);
    EXPECT_LT(SimulatedAudioInput::toneBuffer(format, 12).samples[0], 0);
    long frames = 0;
    for (int i = 0; i < 100; ++i) frames += SimulatedAudioInput::toneBuffer({7999, 1}, i).frames();
    EXPECT_EQ(frames, 7999);
}

}  // namespace
}  // namespace qv
