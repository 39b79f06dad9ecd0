// Sound and picture in step through a real PipeWire graph, whose microphone drives its own cycles
// on a clock that runs fast or slow, as a USB microphone's crystal does.

#include "PipeWireStack.h"
#include "SimulatedPlayers.h"
#include "SyncMarks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

using namespace qvtest;

namespace {

constexpr int seconds = 30;

// Records `seconds` through the PipeWire backend from a test player whose microphone clock runs
// `ppm` fast, with a mark every second, and checks the decoded file: each burst lies within 20 ms
// of its white frame in the first 10 s and within 10 ms after, and the tone never falls silent
// except where blocks were lost on the way. Uncorrected, 1,000 ppm would be 30 ms by the end.
void expectInStep(double ppm) {
    PipeWireStack stack;
    if (!stack.running()) GTEST_SKIP() << "PipeWire and WirePlumber could not be started here";
    ASSERT_GT(stack.addPlayer("Quorvelle - Player 01", "YUY2", ppm, 1000), 0);
    TempDir tmp;
    auto env = stack.env();
    env["TMPDIR"] = tmp.path();
    env["QUORVELLE_SIMULATED_DEVICES"] = "";
    env["QUORVELLE_DEVICE_BACKEND"] = "pipewire";
    HelperProcess helper({"--stdio"}, env);
    const std::string dir = helper.readEvent("ready", 20.0).value_or(Json::object()).value("sessionDir", "");
    const Json list = helper.result("list", Json::object(), 20.0);
    ASSERT_EQ(list["audioDevices"].size(), 1u) << list.dump();
    helper.result("connect",
                  {{"inventoryId", list["inventoryId"]},
                   {"selection",
                    {{"videoDeviceId", list["videoDevices"][0]["deviceId"]},
                     {"audioDeviceId", list["audioDevices"][0]["deviceId"]}}}},
                  20.0);
    helper.waitStatus(
        [](const Json& s) { return s["source"].is_object() && s["source"]["audioSamples"].get<int>() > 3; },
        20.0);
    helper.result("start_recording", {{"captureId", freshUuid()}, {"durationMs", seconds * 1000}}, 20.0);
    const Json recording =
        helper.readEvent("recording_finished", seconds + 60.0).value_or(Json())["recording"];
    ASSERT_EQ(recording.value("state", ""), "complete") << recording.dump();
    const SyncMarks marks = readSyncMarks(dir + "/" + recording["basename"].get<std::string>());
    ASSERT_TRUE(marks.readable);

    const std::string what = std::to_string(static_cast<int>(ppm)) + " ppm";
    EXPECT_GE(marks.bursts.size(), static_cast<std::size_t>(seconds - 1)) << what;
    EXPECT_GE(marks.whiteFrames.size(), static_cast<std::size_t>(seconds / 2)) << what;
    const std::vector<double> offsets = marks.offsets(1.0);
    double early = 0;
    double late = 0;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const bool first = marks.bursts[i] < 10;
        EXPECT_LE(std::fabs(offsets[i]), first ? 0.020 : 0.010)
            << what << ", burst at " << marks.bursts[i] << " s";
        (first ? early : late) = std::max(first ? early : late, std::fabs(offsets[i]));
    }
    const double lost = recording["droppedAudioSamples"].get<double>() * 0.01;
    EXPECT_LE(marks.longestSilence, lost + 0.001) << what;
    ::testing::Test::RecordProperty(what, "largest offset " + std::to_string(early * 1000) +
                                              " ms in the first 10 s, " + std::to_string(late * 1000) +
                                              " ms after; longest silence " +
                                              std::to_string(marks.longestSilence * 1000) + " ms");
    EXPECT_EQ(helper.result("close", Json::object(), 20.0)["devicesReleased"], true);
    EXPECT_EQ(helper.errorText(), "");
}

}  // namespace

TEST(PipeWireSync, AFastMicrophoneClockStaysInStep) {
    expectInStep(1000);
}

TEST(PipeWireSync, ASlowMicrophoneClockStaysInStep) {
    expectInStep(-1000);
}
