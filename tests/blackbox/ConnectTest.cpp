#include "SimulatedPlayers.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace qvtest;

namespace {

const Json staleInventory = {{"code", "STALE_INVENTORY"},
                             {"message", "List devices and use that exact inventoryId and selection"}};
const Json badFps = {{"code", "INVALID_ARGUMENT"}, {"message", "Expected an integer from 1 through 60"}};

Json twoPlayers() {
    return {{"video", {simVideo(1), simVideo(7)}}, {"audio", {simAudio(1), simAudio(7)}}};
}

Json errorOf(const std::optional<Json>& reply) {
    if (!reply || reply->value("ok", true)) return Json{{"unexpected", reply ? *reply : Json()}};
    return (*reply)["error"];
}

}  // namespace

TEST(Connect, RequestChainFailsInOrderAndChangesNothing) {
    SimulatedHelper helper(twoPlayers());
    const Json before = helper.status();

    // No list made yet.
    EXPECT_EQ(helper.error("connect",
                           {{"inventoryId", freshUuid()}, {"selection", {{"videoDeviceId", videoId(1)}}}}),
              staleInventory);
    const std::string first = helper.ok("list")["inventoryId"];
    const std::string second = helper.ok("list")["inventoryId"];
    const auto connectWith = [&](const std::string& inventory, const Json& selection,
                                 const Json& extra = {}) {
        Json fields = {{"inventoryId", inventory}, {"selection", selection}};
        if (extra.is_object()) fields.update(extra);
        return helper.error("connect", fields);
    };
    EXPECT_EQ(connectWith(first, {{"videoDeviceId", videoId(1)}}), staleInventory);
    EXPECT_EQ(connectWith(second, "not a map"), staleInventory);
    EXPECT_EQ(connectWith(second, {{"videoDeviceId", "sim-video-99"}}), staleInventory);
    EXPECT_EQ(connectWith(second, {{"videoDeviceId", videoId(1)}, {"requestId", freshUuid()}}),
              (Json{{"code", "INVALID_ARGUMENT"}, {"message", "Unknown request field"}}));
    const Json mismatch = {{"code", "DEVICE_MISMATCH"},
                           {"message", "Audio must be the explicitly selected matching Quorvelle player"}};
    EXPECT_EQ(connectWith(second, {{"videoDeviceId", videoId(1)}, {"audioDeviceId", audioId(7)}}), mismatch);
    EXPECT_EQ(connectWith(second, {{"videoDeviceId", videoId(1)}, {"audioDeviceId", 1}}), mismatch);
    for (const Json& fps : {Json(0), Json(61), Json(30.5), Json(true), Json("30"), Json(nullptr)}) {
        EXPECT_EQ(connectWith(second, {{"videoDeviceId", videoId(1)}}, {{"previewFps", fps}}), badFps) << fps;
    }

    const Json after = helper.status();
    EXPECT_EQ(after["connection"], "disconnected");
    EXPECT_TRUE(after["selection"].is_null());
    // Only the two lists raised the sequence.
    EXPECT_EQ(after["stateSequence"].get<int>(), before["stateSequence"].get<int>() + 2);
}

TEST(Connect, ConnectsToTheNamedPlayerWithItsMicrophone) {
    SimulatedHelper helper(twoPlayers());
    const Json reply = helper.connect(7, true, {{"previewFps", 15}});
    ASSERT_TRUE(reply.value("ok", false)) << reply.dump();
    const Json& result = reply["result"];
    EXPECT_EQ(result["connection"], "connected");
    EXPECT_EQ(result["selection"], (Json{{"videoDeviceId", videoId(7)},
                                         {"videoLabel", "Quorvelle - Player 07"},
                                         {"player", "07"},
                                         {"audioDeviceId", audioId(7)},
                                         {"audioLabel", "Microphone (Quorvelle - Player 07)"}}));
    const Json& format = result["videoFormat"];
    EXPECT_EQ(format["width"], 160);
    EXPECT_EQ(format["height"], 144);
    EXPECT_EQ(format["mediaSubType"], 0x42475241u);
    EXPECT_EQ(format["supportedFrameRateRanges"], (Json::array({{{"minFps", 60.0}, {"maxFps", 60.0}}})));
    EXPECT_EQ(format.size(), 7u);

    const Json status = helper.waitStatus([](const Json& s) {
        return s["source"].is_object() && s["source"]["videoSamples"].get<int>() > 5 &&
               s["source"]["audioSamples"].get<int>() > 5;
    });
    EXPECT_EQ(status["source"]["width"], 160);
    EXPECT_LE(status["source"]["firstPTS"].get<double>(), status["source"]["lastPTS"].get<double>());
    EXPECT_EQ(helper.error("connect", helper.connectFields(7, true)),
              (Json{{"code", "ALREADY_CONNECTED"}, {"message", "Disconnect before selecting a device"}}));

    const Json disconnected = helper.ok("disconnect");
    EXPECT_EQ(disconnected["accepted"], true);
    const Json idle = helper.waitStatus([](const Json& s) { return s["connection"] == "disconnected"; });
    EXPECT_EQ(idle["connection"], "disconnected");
    // A microphone is never chosen implicitly.
    const Json videoOnly = helper.connect(1, false);
    ASSERT_TRUE(videoOnly.value("ok", false)) << videoOnly.dump();
    EXPECT_FALSE(videoOnly["result"]["selection"].contains("audioDeviceId"));
}

TEST(Connect, WhileStartingOnlyStatusIsServedAndNoSampleIsCounted) {
    SimulatedHelper helper(Json{{"video", {simVideo(1, {{"startDelayMs", 1000}})}}});
    const std::string id = helper.sendConnect(1, false);
    const Json connecting = helper.status();
    EXPECT_EQ(connecting["connection"], "connecting");
    EXPECT_TRUE(connecting["source"].is_null());
    EXPECT_EQ(helper.error("list"),
              (Json{{"code", "BUSY"}, {"message", "A native state transition is still in progress"}}));
    const Json reply = helper.replyTo(id);
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    EXPECT_EQ(reply["result"]["connection"], "connected");
    // The reply's sequence is the connect's second step after the one when it began.
    EXPECT_EQ(reply["result"]["stateSequence"].get<int>(), connecting["stateSequence"].get<int>() + 1);
}

TEST(Connect, FailuresToFindPermitOrStartLeaveTheHelperReadyForAnother) {
    // Player 1 is unplugged once listed; 2 and 3 fail to start; the microphone is not permitted.
    SimulatedHelper helper(Json{{"video",
                                 {simVideo(1, {{"listings", 1}}), simVideo(2, {{"startFailure", "input"}}),
                                  simVideo(3, {{"startFailure", "start"}}), simVideo(4)}},
                                {"audio", {simAudio(4)}},
                                {"permissions", {{"video", "authorized"}, {"audio", "denied"}}}});
    EXPECT_EQ(errorOf(helper.connect(1, false)),
              (Json{{"code", "DEVICE_NOT_FOUND"},
                    {"message", "The selected Quorvelle video is no longer present"}}));
    EXPECT_EQ(helper.status()["connection"], "disconnected");

    EXPECT_EQ(errorOf(helper.connect(2, false)),
              (Json{{"code", "NATIVE_ERROR"},
                    {"message", "Native capture failed. Check the error code for details."}}));
    const Json status = helper.status();
    EXPECT_EQ(status["connection"], "failed");
    EXPECT_EQ(status["lastError"]["code"], "NATIVE_ERROR");
    EXPECT_EQ(errorOf(helper.connect(3, false)),
              (Json{{"code", "START_FAILED"}, {"message", "Native session did not start"}}));
    EXPECT_EQ(helper.status()["connection"], "failed");

    EXPECT_EQ(errorOf(helper.connect(4, true)),
              (Json{{"code", "PERMISSION_REQUIRED"},
                    {"message", "Request normal native camera/microphone permission before connecting"}}));
    const Json good = helper.connect(4, false);
    ASSERT_EQ(good.value("ok", false), true) << good.dump();
    EXPECT_TRUE(good["result"]["lastError"].is_null());
}

TEST(Connect, StartSlowerThanItsDeadlineEndsTheHelper) {
    SimulatedHelper helper(Json{{"video", {simVideo(1, {{"startDelayMs", 20000}})}}});
    helper.sendConnect(1, false);
    const auto fatal = helper->readEvent("fatal", 25.0);
    ASSERT_TRUE(fatal);
    EXPECT_EQ((*fatal)["error"]["code"], "NATIVE_START_TIMEOUT");
    EXPECT_EQ((*fatal)["devicesReleased"], false);
    EXPECT_EQ(helper->waitExit(10.0), 2);
}

TEST(Connect, CloseWhileStartingAnswersTheConnectFirst) {
    for (const bool fails : {false, true}) {
        Json camera = simVideo(1, {{"startDelayMs", 700}});
        if (fails) camera["startFailure"] = "start";
        SimulatedHelper helper(Json{{"video", {camera}}});
        const std::string connectId = helper.sendConnect(1, false);
        const std::string closeId = helper.send("close");
        std::vector<Json> lines;
        while (auto line = helper->readJson(20.0)) lines.push_back(*line);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0]["requestId"], connectId);
        if (fails) {
            // The failed start ends the helper at once, without a close reply or "closed".
            EXPECT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0]["error"]["code"], "START_FAILED");
            EXPECT_EQ(helper->waitExit(10.0), 1);
        } else {
            EXPECT_EQ(lines[0]["result"]["connection"], "connected");
            const auto close = std::find_if(lines.begin(), lines.end(), [&](const Json& j) {
                return j.value("requestId", "") == closeId;
            });
            ASSERT_NE(close, lines.end());
            EXPECT_EQ((*close)["result"]["closed"], true);
            EXPECT_EQ(lines.back()["event"], "closed");
            EXPECT_EQ(helper->waitExit(10.0), 0);
        }
    }
}

TEST(Connect, FramesBeyondTheBoundsEndTheSessionAndDropsAreCounted) {
    const auto resized = [](int player, int fps, const Json& size) {
        return simVideo(player, {{"fps", fps}, {"resizeAfterFrames", 3}, {"resizeTo", size}});
    };
    Json largest = resized(3, 10, {4096, 2048});
    largest["dropEvery"] = 3;
    SimulatedHelper helper(
        Json{{"video", {resized(1, 10, {4096, 2049}), resized(2, 10, {4097, 1}), largest}}});
    for (const int player : {1, 2}) {
        ASSERT_EQ(helper.connect(player, false).value("ok", false), true);
        const Json status =
            helper.waitStatus([](const Json& s) { return s["connection"] == "disconnected"; });
        EXPECT_EQ(status["lastError"],
                  (Json{{"code", "FRAME_BOUND"}, {"message", "Native frame exceeds dimension bounds"}}))
            << player;
        EXPECT_EQ(status["source"]["width"], 160) << "the frame was not kept";
    }
    ASSERT_EQ(helper.connect(3, false).value("ok", false), true);
    const Json status = helper.waitStatus([](const Json& s) {
        return s["source"].is_object() && s["source"]["width"] == 4096 &&
               s["previewStats"]["nativeDroppedVideoSamples"].get<int>() >= 3;
    });
    EXPECT_EQ(status["source"]["height"], 2048);
    EXPECT_GE(status["previewStats"]["nativeDroppedVideoSamples"].get<int>(), 3);
    EXPECT_EQ(status["connection"], "connected");
    EXPECT_TRUE(status["lastError"].is_null());
}

TEST(Connect, StalledVideoEndsTheSession) {
    // One player stalls after a few frames, the other never sends one; both run at once.
    SimulatedHelper late(Json{{"video", {simVideo(1, {{"stallAfterFrames", 0}})}}});
    SimulatedHelper early(Json{{"video", {simVideo(1, {{"stallAfterFrames", 5}})}}});
    ASSERT_EQ(late.connect(1, false).value("ok", false), true);
    ASSERT_EQ(early.connect(1, false).value("ok", false), true);
    const Json stalled = {{"code", "DEVICE_STALLED"},
                          {"message", "The selected native video stopped producing frames"}};
    const auto disconnected = [](const Json& s) { return s["connection"] == "disconnected"; };
    const Json earlyStatus = early.waitStatus(disconnected, 15.0);
    EXPECT_EQ(earlyStatus["lastError"], stalled);
    EXPECT_EQ(earlyStatus["source"]["videoSamples"], 5);
    const Json lateStatus = late.waitStatus(disconnected, 20.0);
    EXPECT_EQ(lateStatus["lastError"], stalled);
    EXPECT_TRUE(lateStatus["source"].is_null());
}
