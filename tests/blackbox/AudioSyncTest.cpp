#include "SimulatedPlayers.h"
#include "SyncMarks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace qvtest;

namespace {

// Records `seconds` of a player whose microphone clock runs `ppm` fast, with a sync mark (a white
// frame and a tone burst at the same instant) every second, and checks the decoded file: each white
// frame's burst lies within `earlyMs` of it during the first 10 s and within 10 ms after (measured
// from the marks' instants, which the white frames give), and the steady tone never falls silent
// except where blocks were lost on the way. A small picture keeps the
// encoding cheap; at 60 frames a second a mark falls on a frame.
void expectInStep(double ppm, int seconds, double earlyMs) {
    SimulatedHelper helper(Json{{"video", {simVideo(1, {{"width", 32}, {"height", 32}})}},
                                {"audio", {simAudio(1, {{"clockPpm", ppm}})}},
                                {"syncMarks", 1000}});
    helper.connected(1, true);
    helper.waitStatus(
        [](const Json& s) { return s["source"].is_object() && s["source"]["audioSamples"].get<int>() > 3; });
    helper.ok("start_recording", {{"captureId", freshUuid()}, {"durationMs", seconds * 1000}});
    const Json recording =
        helper->readEvent("recording_finished", seconds + 60.0).value_or(Json())["recording"];
    ASSERT_EQ(recording.value("state", ""), "complete") << recording.dump();
    const SyncMarks marks =
        readSyncMarks(helper.sessionDir() + "/" + recording["basename"].get<std::string>());
    ASSERT_TRUE(marks.readable);

    const std::string what = std::to_string(static_cast<int>(ppm)) + " ppm";
    // A burst at every mark, and enough white frames to place the marks (the recording may drop a
    // frame now and then).
    EXPECT_GE(marks.bursts.size(), static_cast<std::size_t>(seconds - 1)) << what;
    EXPECT_GE(marks.whiteFrames.size(), static_cast<std::size_t>(seconds / 2)) << what;
    const std::vector<double> offsets = marks.offsets(1.0);
    double worst = 0;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const double limit = (marks.bursts[i] < 10 ? earlyMs : 10) / 1000;
        EXPECT_LE(std::fabs(offsets[i]), limit) << what << ", burst at " << marks.bursts[i] << " s";
        worst = std::max(worst, std::fabs(offsets[i]));
    }
    const double lost = recording["droppedAudioSamples"].get<double>() * 0.01;
    EXPECT_LE(marks.longestSilence, lost + 0.001) << what;
    ::testing::Test::RecordProperty(what, "largest offset " + std::to_string(worst * 1000) +
                                              " ms, longest silence " +
                                              std::to_string(marks.longestSilence * 1000) + " ms");
}

}  // namespace

TEST(AudioSync, AtTheSystemClocksRateEveryMarkIsInStep) {
    expectInStep(0, 10, 10);
}

// A microphone clock 1,000 ppm off would put the sound 60 ms off the picture in a minute.
TEST(AudioSync, AFastMicrophoneClockStaysInStepForAMinute) {
    expectInStep(1000, 60, 20);
}

TEST(AudioSync, ASlowMicrophoneClockStaysInStepForAMinute) {
    expectInStep(-1000, 60, 20);
}
