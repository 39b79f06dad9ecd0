#include "SimulatedPlayers.h"

#include <gtest/gtest.h>

using namespace qvtest;

TEST(Inventory, ListsPlayersWithTheirFormatsCappedAndEveryDeviceCounted) {
    Json cameras = Json::array();
    for (int i = 1; i <= 5; ++i) cameras.push_back(simVideo(i));
    cameras.push_back({{"id", "builtin"}, {"name", "FaceTime HD Camera"}});
    cameras.push_back({{"id", "blank"}, {"name", ""}});
    Json tenRanges = Json::array();
    for (int i = 1; i <= 10; ++i) tenRanges.push_back({i, 30});
    cameras[0]["formats"] = Json::array({{{"width", 640}, {"height", 480}, {"ranges", tenRanges}}});
    // A format without ranges gives no entry; eight ranges count from each of the others, cut at 64.
    cameras[1]["formats"] = Json::array({{{"width", 320}, {"height", 240}, {"ranges", Json::array()}}});
    for (int i = 0; i < 9; ++i)
        cameras[1]["formats"].push_back({{"width", 100 + i}, {"height", 100}, {"ranges", tenRanges}});
    // A microphone named like a camera is judged by that name.
    const Json microphones = {simAudio(1),
                              {{"id", "mic-2"}, {"name", "Quorvelle - Player 02"}},
                              {{"id", "mac"}, {"name", "MacBook Pro Microphone"}}};
    SimulatedHelper helper(Json{{"video", cameras}, {"audio", microphones}});

    const int before = helper.status()["stateSequence"];
    const Json list = helper.ok("list");
    EXPECT_EQ(list["counts"],
              Json::parse(R"({"video":{"total":7,"unlabeled":1,"unsupported":1,"omitted":1},)"
                          R"("audio":{"total":3,"unlabeled":0,"unsupported":1,"omitted":0}})"));
    const Json& video = list["videoDevices"];
    ASSERT_EQ(video.size(), 4u);
    EXPECT_TRUE(includes(video[0], {{"deviceId", videoId(1)}, {"player", "01"}}));
    ASSERT_EQ(video[0]["formats"].size(), 8u);
    EXPECT_EQ(video[0]["formats"][7],
              (Json{{"width", 640}, {"height", 480}, {"minFps", 8.0}, {"maxFps", 30.0}}));
    ASSERT_EQ(video[1]["formats"].size(), 64u);
    EXPECT_EQ(video[1]["formats"][0]["width"], 100);
    EXPECT_EQ(video[1]["formats"][63],
              (Json{{"width", 107}, {"height", 100}, {"minFps", 8.0}, {"maxFps", 30.0}}));
    EXPECT_EQ(video[3]["deviceId"], videoId(4));
    ASSERT_EQ(list["audioDevices"].size(), 2u);
    EXPECT_EQ(
        list["audioDevices"][0],
        (Json{{"deviceId", audioId(1)}, {"label", "Microphone (Quorvelle - Player 01)"}, {"player", "01"}}));
    EXPECT_EQ(list["audioDevices"][1]["player"], "02");

    // Each list is a new inventory and one state change.
    const Json second = helper.ok("list");
    EXPECT_NE(second["inventoryId"], list["inventoryId"]);
    EXPECT_EQ(second["stateSequence"], before + 2);
}

TEST(Permission, SettledAnswersComeAtOnceUndeterminedOnesWhenTheAnswerComes) {
    SimulatedHelper helper(Json{{"permissions", {{"video", "not_determined"}, {"audio", "not_determined"}}},
                                {"permissionRequests",
                                 {{"video", {{"answerAfterMs", 3000}, {"grant", true}}},
                                  {"audio", {{"answerAfterMs", 0}, {"grant", false}}}}}});
    const Json badMedia = {{"code", "INVALID_ARGUMENT"}, {"message", "media must be video or audio"}};
    for (const Json& fields : {Json::object(), Json{{"media", "screen"}}, Json{{"media", nullptr}}})
        EXPECT_EQ(helper.error("request_permission", fields), badMedia) << fields;
    // A refusal is reported through the permissions, not as an error.
    EXPECT_EQ(helper.ok("request_permission", {{"media", "audio"}})["permissions"]["audio"], "denied");

    // While the camera's answer is outstanding the helper is busy, but still serves "status".
    int before = helper.status()["stateSequence"];
    const std::string id = helper->send("request_permission", {{"media", "video"}});
    EXPECT_EQ(helper.error("list"), failure("BUSY"));
    helper.status();
    const Json settled = {{"video", "authorized"}, {"audio", "denied"}};
    EXPECT_TRUE(
        includes(helper.replyTo(id)["result"], {{"permissions", settled}, {"stateSequence", before + 1}}));

    // Settled permissions answer at once and change nothing.
    before = helper.status()["stateSequence"];
    for (const char* media : {"video", "audio"}) {
        EXPECT_TRUE(includes(helper.ok("request_permission", {{"media", media}}),
                             {{"permissions", settled}, {"stateSequence", before}}));
    }
}

TEST(Permission, CloseWithARequestOutstandingSendsNoReply) {
    const Json neverAnswered = {{"permissions", {{"video", "not_determined"}}},
                                {"permissionRequests", {{"video", {{"answerAfterMs", nullptr}}}}}};
    SimulatedHelper closed(neverAnswered);
    const std::string id = closed->send("request_permission", {{"media", "video"}});
    closed.ok("close");
    EXPECT_EQ(closed->waitExit(), 0);
    for (const Json& line : closed.rest()) EXPECT_NE(line.value("requestId", ""), id) << line.dump();
    for (const Json& line : closed->skipped()) EXPECT_NE(line.value("requestId", ""), id) << line.dump();
}
