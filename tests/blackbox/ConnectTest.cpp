#include "SimulatedPlayers.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace qvtest;

TEST(Connect, RequestChainFailsInOrderAndChangesNothingThenConnectsTheNamedPlayer) {
    SimulatedHelper helper(
        Json{{"video", {simVideo(1), simVideo(7)}}, {"audio", {simAudio(1), simAudio(7)}}});
    const Json before = helper.status();
    const auto connectWith = [&](const std::string& inventory, const Json& selection, Json fields = {}) {
        fields.update(Json{{"inventoryId", inventory}, {"selection", selection}});
        return helper.error("connect", fields);
    };
    const Json badFps = {{"code", "INVALID_ARGUMENT"}, {"message", "Expected an integer from 1 through 60"}};
    EXPECT_EQ(connectWith(freshUuid(), {{"videoDeviceId", videoId(1)}}), failure("STALE_INVENTORY"))
        << "no list yet";
    const std::string first = helper.ok("list")["inventoryId"];
    const std::string second = helper.ok("list")["inventoryId"];
    EXPECT_EQ(connectWith(first, {{"videoDeviceId", videoId(1)}}), failure("STALE_INVENTORY"));
    EXPECT_EQ(connectWith(second, "not a map"), failure("STALE_INVENTORY"));
    EXPECT_EQ(connectWith(second, {{"videoDeviceId", "sim-video-99"}}), failure("STALE_INVENTORY"));
    EXPECT_EQ(connectWith(second, {{"videoDeviceId", videoId(1)}, {"requestId", freshUuid()}}),
              (Json{{"code", "INVALID_ARGUMENT"}, {"message", "Unknown request field"}}));
    EXPECT_EQ(connectWith(second, {{"videoDeviceId", videoId(1)}, {"audioDeviceId", audioId(7)}}),
              failure("DEVICE_MISMATCH"));
    EXPECT_EQ(connectWith(second, {{"videoDeviceId", videoId(1)}, {"audioDeviceId", 1}}),
              failure("DEVICE_MISMATCH"));
    for (const Json& fps : {Json(0), Json(61), Json(30.5), Json(true), Json("30"), Json(nullptr)})
        EXPECT_EQ(connectWith(second, {{"videoDeviceId", videoId(1)}}, {{"previewFps", fps}}), badFps) << fps;
    const int lists = before["stateSequence"].get<int>() + 2;
    EXPECT_TRUE(includes(helper.status(), {{"connection", "disconnected"}, {"stateSequence", lists}}));

    Json reply = helper.connected(7, true, {{"previewFps", 15}});
    EXPECT_EQ(reply["connection"], "connected");
    EXPECT_EQ(reply["selection"],
              Json::parse(R"({"videoDeviceId":"sim-video-07","player":"07",)"
                          R"("videoLabel":"Quorvelle - Player 07","audioDeviceId":"sim-audio-07",)"
                          R"j("audioLabel":"Microphone (Quorvelle - Player 07)"})j"));
    EXPECT_EQ(reply["videoFormat"]["width"], 160);
    const Json status = helper.waitStatus([](const Json& s) {
        return s["source"].is_object() && s["source"]["videoSamples"].get<int>() > 5 &&
               s["source"]["audioSamples"].get<int>() > 5;
    });
    EXPECT_LE(status["source"]["firstPTS"].get<double>(), status["source"]["lastPTS"].get<double>());
    EXPECT_EQ(helper.connectError(7, true), failure("ALREADY_CONNECTED"));
    helper.disconnect();
    // A microphone is never chosen implicitly.
    EXPECT_FALSE(helper.connected(1, false)["selection"].contains("audioDeviceId"));
}

TEST(Connect, FailuresToFindPermitOrStartLeaveTheHelperReady) {
    // Player 1 is unplugged once listed; 2 and 3 fail to start; the microphone is not permitted.
    SimulatedHelper helper({{"video",
                             {simVideo(1, {{"listings", 1}}), simVideo(2, {{"startFailure", "input"}}),
                              simVideo(3, {{"startFailure", "start"}}), simVideo(4)}},
                            {"audio", {simAudio(4)}},
                            {"permissions", {{"video", "authorized"}, {"audio", "denied"}}}});
    EXPECT_EQ(helper.connectError(1, false), failure("DEVICE_NOT_FOUND"));
    EXPECT_EQ(helper.status()["connection"], "disconnected");
    EXPECT_EQ(helper.connectError(2, false), failure("NATIVE_ERROR"));
    EXPECT_TRUE(
        includes(helper.status(), {{"connection", "failed"}, {"lastError", failure("NATIVE_ERROR")}}));
    EXPECT_EQ(helper.connectError(3, false), failure("START_FAILED"));
    EXPECT_EQ(helper.status()["connection"], "failed");
    EXPECT_EQ(helper.connectError(4, true), failure("PERMISSION_REQUIRED"));
    EXPECT_TRUE(helper.connected(4, false)["lastError"].is_null());
    helper.disconnect();
}

TEST(Connect, WhileStartingOnlyStatusIsServedAndACloseAnswersTheConnectFirst) {
    for (const bool fails : {false, true}) {
        Json camera = simVideo(1, {{"startDelayMs", 1000}});
        if (fails) camera["startFailure"] = "start";
        SimulatedHelper helper(Json{{"video", {camera}}});
        const std::string connectId = helper.sendConnect(1, false);
        const Json connecting = helper.status();
        EXPECT_TRUE(includes(connecting, {{"connection", "connecting"}, {"source", nullptr}}))
            << "no sample counted before the start";
        EXPECT_EQ(helper.error("list"), failure("BUSY"));
        const std::string closeId = helper->send("close");
        const std::vector<Json> lines = helper.rest();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0]["requestId"], connectId);
        if (fails) {
            // The failed start ends the helper at once, without a close reply or "closed".
            EXPECT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0]["error"], failure("START_FAILED"));
            EXPECT_EQ(helper->waitExit(10.0), 1);
            continue;
        }
        EXPECT_EQ(lines[0]["result"]["connection"], "connected");
        EXPECT_EQ(lines[0]["result"]["stateSequence"].get<int>(), connecting["stateSequence"].get<int>() + 1);
        const auto close = std::find_if(lines.begin(), lines.end(),
                                        [&](const Json& j) { return j.value("requestId", "") == closeId; });
        ASSERT_NE(close, lines.end());
        EXPECT_EQ((*close)["result"]["closed"], true);
        EXPECT_EQ(lines.back()["event"], "closed");
        EXPECT_EQ(helper->waitExit(10.0), 0);
    }
}

TEST(Connect, OversizedFramesEndTheSessionAndDropsAreCounted) {
    const auto resized = [](int player, const Json& size) {
        return simVideo(player, {{"fps", 10}, {"resizeAfterFrames", 3}, {"resizeTo", size}});
    };
    Json largest = resized(3, {4096, 2048});
    largest["dropEvery"] = 3;
    SimulatedHelper helper(Json{{"video", {resized(1, {4096, 2049}), resized(2, {4097, 1}), largest}}});
    for (const int player : {1, 2}) {
        helper.connected(player, false);
        const Json status =
            helper.waitStatus([](const Json& s) { return s["connection"] == "disconnected"; });
        EXPECT_EQ(status["lastError"], failure("FRAME_BOUND")) << player;
        EXPECT_EQ(status["source"]["width"], 160) << "the frame was not kept";
    }
    helper.connected(3, false);
    const Json status = helper.waitStatus([](const Json& s) {
        return s["source"].is_object() && s["source"]["width"] == 4096 &&
               s["previewStats"]["nativeDroppedVideoSamples"].get<int>() >= 3;
    });
    EXPECT_EQ(status["source"]["height"], 2048);
    EXPECT_EQ(status["connection"], "connected");
}
