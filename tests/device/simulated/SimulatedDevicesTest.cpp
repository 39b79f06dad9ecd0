#include "TestSupport.h"
#include "device/simulated/SimulatedDeviceSystem.h"
#include "device/simulated/SimulatedSessionClock.h"
#include "device/simulated/SimulatedSound.h"

#include <gtest/gtest.h>

#include <cstdlib>

using qv::SimulatedDeviceConfig;

// The black-box sessions run the simulated players; this checks the configuration contract itself.
TEST(SimulatedDeviceConfigTest, OptionalKeysMayBeLeftOutAndAnythingElseIsRejected) {
    const auto parsed =
        SimulatedDeviceConfig::parse(R"({"video":[{"id":"v","name":""}],"audio":[{"id":"a","name":"m"}],
        "permissionRequests":{"video":{"answerAfterMs":null}}})");
    ASSERT_EQ(parsed.video.size(), 1u);
    EXPECT_EQ(parsed.video[0].formats.at(0).frameRateRanges, (std::vector<qv::FrameRateRange>{{60, 60}}));
    EXPECT_FALSE(parsed.videoAnswer.answerAfterMs);  // an answer "after null" never comes
    EXPECT_EQ(parsed.audioAnswer.answerAfterMs, 0.0);
    EXPECT_EQ(std::tuple(parsed.audio.at(0).clockPpm, parsed.syncMarksMs), std::tuple(0.0, std::nullopt));
    const auto marked = SimulatedDeviceConfig::parse(
        R"({"audio":[{"id":"a","name":"m","clockPpm":-250.5}],"syncMarks":1000})");
    EXPECT_EQ(std::tuple(marked.audio.at(0).clockPpm, marked.syncMarksMs), std::tuple(-250.5, 1000.0));

    for (const char* text :
         {"",
          "null",
          R"({"video":{}})",
          R"({"video":[{"name":"x"}]})",
          R"({"video":[{"id":"","name":"x"}]})",
          R"({"video":[{"id":"a","name":1}]})",
          R"({"video":[{"id":"a","name":"x","fps":0}]})",
          R"({"video":[{"id":"a","name":"x","fps":241}]})",
          R"({"video":[{"id":"a","name":"x","width":1.5}]})",
          R"({"video":[{"id":"a","name":"x","startFailure":"later"}]})",
          R"({"video":[{"id":"a","name":"x","resizeAfterFrames":3}]})",
          R"({"video":[{"id":"a","name":"x","formats":[{"width":1,"height":1,"ranges":[[1]]}]}]})",
          R"({"video":[{"id":"a","name":"x","listings":-1}]})",
          R"({"video":[{"id":"a","name":"x","colour":1}]})",
          R"({"video":[{"id":"a","name":"x"},{"id":"a","name":"y"}]})",
          R"({"audio":[{"id":"a","name":"x","sampleRate":0}]})",
          R"({"audio":[{"id":"a","name":"x","silent":1}]})",
          R"({"audio":[{"id":"a","name":"x","clockPpm":5001}]})",
          R"({"audio":[{"id":"a","name":"x","clockPpm":"fast"}]})",
          R"({"syncMarks":99})",
          R"({"syncMarks":"1s"})",
          R"({"permissions":{"video":"granted"}})",
          R"({"permissionRequests":{"audio":{"answerAfterMs":-5}}})",
          R"({"players":[]})"}) {
        EXPECT_EQ(qvtest::thrown([&] { SimulatedDeviceConfig::parse(text); }),
                  "SIMULATION_CONFIG / Simulated device configuration is invalid")
            << text;
    }
}

// A mark's burst starts at the sample heard at the mark, on the microphone's own clock, and only
// there; the rest is the steady tone.
TEST(SimulatedSound, TheBurstStartsAtTheSampleOfEachMarkOnTheMicrophonesClock) {
    const qv::SimulatedSessionClock clock(1000);
    for (const double ppm : {0.0, 1000.0, -1000.0}) {
        const qv::SimulatedSound sound({48000, 1}, ppm, clock);
        const auto second = sound.between(0, 2.5);
        // 1 + ppm / 10⁶ seconds' worth of samples a second.
        ASSERT_EQ(second.frames(), std::llround(2.5 * 48000 * (1 + ppm / 1e6))) << ppm;
        std::vector<std::int64_t> onsets;
        bool loud = false;
        for (std::int64_t n = 0; n < second.frames(); ++n) {
            const bool now =
                std::abs(second.samples[static_cast<std::size_t>(n)]) > qv::SimulatedSound::toneAmplitude;
            if (now && !loud) onsets.push_back(n);
            loud = now || (loud && n - onsets.back() < 1440);
        }
        // Sample n is heard n / (rate × (1 + ppm)) s after the start; a 1 kHz wave needs a few
        // samples to rise above the tone.
        ASSERT_EQ(onsets.size(), 2u) << ppm;
        for (int mark = 1; mark <= 2; ++mark) {
            const double rise = static_cast<double>(onsets[static_cast<std::size_t>(mark - 1)]) -
                                std::ceil(mark * 48000 * (1 + ppm / 1e6));
            EXPECT_TRUE(rise >= 0 && rise <= 3) << ppm << " ppm, mark " << mark << ": " << rise;
        }
    }
}
