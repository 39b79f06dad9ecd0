// Sound and picture in step through a real PipeWire graph, whose microphone drives its own cycles
// on a clock that runs fast or slow, as a USB microphone's crystal does.

#include "PipeWireStack.h"
#include "SimulatedPlayers.h"
#include "SyncMarks.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

constexpr int seconds = 30;
// The samples of each cycle of the test player's microphone.
constexpr double cycleSamples = 1024;

// One helper recording from a test player of its own stack, whose microphone clock runs `ppm` fast
// with a mark every second.
struct Recording {
    explicit Recording(double clockPpm) : ppm(clockPpm) {}
    double ppm;
    PipeWireStack stack;
    TempDir tmp;
    std::unique_ptr<HelperProcess> helper;
    std::string dir;
};

}  // namespace

// Records 30 s through the PipeWire backend at +1000 and -1000 ppm, both at once, and checks each
// decoded file: each burst lies within 20 ms of its white frame in the first 10 s and within 10 ms
// after, and the tone never falls silent. Uncorrected, 1,000 ppm would be 30 ms by the end.
TEST(PipeWireSync, FastAndSlowMicrophoneClocksStayInStep) {
    std::vector<std::unique_ptr<Recording>> runs;
    for (const double ppm : {1000.0, -1000.0}) {
        auto& run = *runs.emplace_back(std::make_unique<Recording>(ppm));
        if (!run.stack.running()) GTEST_SKIP() << "PipeWire and WirePlumber could not be started here";
        ASSERT_GT(run.stack.addPlayer("Quorvelle - Player 01", "YUY2", ppm, 1000), 0);
        auto env = run.stack.env();
        env["TMPDIR"] = run.tmp.path();
        env["QUORVELLE_SIMULATED_DEVICES"] = "";
        env["QUORVELLE_DEVICE_BACKEND"] = "pipewire";
        run.helper = std::make_unique<HelperProcess>(std::vector<std::string>{"--stdio"}, env);
        run.dir = run.helper->readEvent("ready", 20.0).value_or(Json::object()).value("sessionDir", "");
        const Json list = run.helper->result("list", Json::object(), 20.0);
        ASSERT_EQ(list["audioDevices"].size(), 1u) << list.dump();
        run.helper->result("connect",
                           {{"inventoryId", list["inventoryId"]},
                            {"selection",
                             {{"videoDeviceId", list["videoDevices"][0]["deviceId"]},
                              {"audioDeviceId", list["audioDevices"][0]["deviceId"]}}}},
                           20.0);
        run.helper->waitStatus(
            [](const Json& s) {
                return s["source"].is_object() && s["source"]["audioSamples"].get<int>() > 3;
            },
            20.0);
        run.helper->result("start_recording", {{"captureId", freshUuid()}, {"durationMs", seconds * 1000}},
                           20.0);
    }
    for (const auto& run : runs) {
        const std::string what = std::to_string(static_cast<int>(run->ppm)) + " ppm";
        SCOPED_TRACE(what);
        const Json recording =
            run->helper->readEvent("recording_finished", seconds + 60.0).value_or(Json())["recording"];
        ASSERT_EQ(recording.value("state", ""), "complete") << recording.dump();
        const SyncMarks marks = readSyncMarks(run->dir + "/" + recording["basename"].get<std::string>());
        ASSERT_TRUE(marks.readable);
        EXPECT_GE(marks.bursts.size(), static_cast<std::size_t>(seconds - 1));
        EXPECT_GE(marks.whiteFrames.size(), static_cast<std::size_t>(seconds / 2));
        const auto [early, late] = marks.largestOffsets(1.0, 10.0);
        EXPECT_LE(early, 0.020);
        EXPECT_LE(late, 0.010);
        // The tone never falls silent but where the graph lost a cycle of the microphone (on a busy
        // machine a follower that runs late misses one), laid as silence of that cycle's length.
        const std::optional<int> lost =
            marks.lostBlocks(cycleSamples / (48000 * (1 + run->ppm / 1e6)), 0.002);
        ASSERT_TRUE(lost.has_value())
            << "a silence that is no lost cycle, the longest " << marks.longestSilence;
        ::testing::Test::RecordProperty(what, "largest offset " + std::to_string(early * 1000) +
                                                  " ms in the first 10 s, " + std::to_string(late * 1000) +
                                                  " ms after; cycles lost " + std::to_string(*lost));
        EXPECT_EQ(run->helper->result("close", Json::object(), 20.0)["devicesReleased"], true);
        EXPECT_EQ(run->helper->errorText(), "");
    }
}
