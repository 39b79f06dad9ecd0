#include "SimulatedPlayers.h"

#include <gtest/gtest.h>

#include <thread>

using namespace qvtest;

// A release that was not confirmed, by a disconnect or by the close itself, stays so for the rest of
// the helper's life: whatever follows (a recording's deadline, a new connection released in order)
// the status keeps "failed" until a new connect, and the close reports the devices as not released,
// with exit status 2.
TEST(Release, AnUnconfirmedReleaseIsReportedByTheCloseAndTheExitStatus) {
    enum class Then { close, recordingDeadline, healthyConnection };
    for (const Then then : {Then::close, Then::recordingDeadline, Then::healthyConnection}) {
        SCOPED_TRACE(static_cast<int>(then));
        SimulatedHelper helper(Json{{"video", {simVideo(1, {{"releaseFails", true}}), simVideo(2)}}});
        helper.connected(1, false);
        if (then == Then::recordingDeadline) {
            helper.waitFrame();
            helper.ok("start_recording", {{"captureId", freshUuid()}, {"durationMs", 2000}});
        }
        // The close alone also takes the connection down.
        if (then != Then::close) {
            helper.ok("disconnect");
            if (then == Then::recordingDeadline) {
                EXPECT_FALSE(helper->readEvent("recording_finished", 20.0)
                                 .value_or(Json())["recording"]
                                 .value("devicesReleased", true));
            }
            helper.waitStatus([](const Json& s) { return s["connection"] != "stopping"; });
            // Past the recording's deadline, had it stayed armed.
            if (then == Then::recordingDeadline) std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            EXPECT_EQ(helper.status()["connection"], "failed");
        }
        if (then == Then::healthyConnection) {
            helper.connected(2, false);
            helper.disconnect();
        }
        EXPECT_TRUE(includes(helper.ok("close", {}, 20.0), {{"closed", false}, {"devicesReleased", false}}));
        EXPECT_FALSE(helper->readEvent("closed").value_or(Json()).value("devicesReleased", true));
        EXPECT_EQ(helper->waitExit(20.0), 2);
    }
}
