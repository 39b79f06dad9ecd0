#include "SimulatedPlayers.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace qvtest;

// A file that reaches the size limit ends its recording with "limit" while the stream goes on. The
// test grows the file itself (sparse), so it does not have to write 126 MiB of video.
TEST(Recording, EndsWhenTheFileReachesItsSizeLimit) {
    SimulatedHelper helper(Json{{"video", {simVideo(1)}}});
    ASSERT_EQ(helper.connect(1, false).value("ok", false), true);
    helper.waitStatus(
        [](const Json& s) { return s["source"].is_object() && s["source"]["videoSamples"].get<int>() > 3; });
    const std::string id = "0d4f3e55-7a43-4b8e-9a0e-3c1f6a2b9e11";
    helper.ok("start_recording", {{"captureId", id}, {"durationMs", 60000}});

    const std::int64_t limit = helper.ready()["limits"]["maxRecordingBytes"].get<std::int64_t>();
    const std::string path = helper.sessionDir() + "/capture-" + id + ".mp4";
    // Just short of the 2 MiB headroom below the limit, nothing happens; at it, the recording ends.
    ASSERT_EQ(::truncate(path.c_str(), limit - 2'097'152 - 1), 0);
    EXPECT_FALSE(helper->readEvent("recording_finished", 1.0));
    ASSERT_EQ(::truncate(path.c_str(), limit - 2'097'152), 0);
    const auto event = helper->readEvent("recording_finished", 20.0);
    ASSERT_TRUE(event);
    const Json& recording = (*event)["recording"];
    EXPECT_EQ(recording["reason"], "limit");
    EXPECT_EQ(recording["streamContinues"], true);
    EXPECT_GE(recording["bytes"].get<std::int64_t>(), limit - 2'097'152);
    EXPECT_EQ(helper.status()["connection"], "connected");
}
