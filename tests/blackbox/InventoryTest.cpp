#include "HelperProcess.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qvtest::HelperProcess;
using qvtest::Json;

Json device(const std::string& id, const std::string& name) {
    return Json{{"id", id}, {"name", name}};
}

// A helper in the protocol mode on the given simulated players, past its "ready" event.
struct Helper {
    HelperProcess process;
    explicit Helper(const Json& players)
        : process({"--stdio"}, {{"QUORVELLE_SIMULATED_DEVICES", players.dump()}}) {
        const auto ready = process.readEvent("ready");
        EXPECT_TRUE(ready.has_value());
    }
    Json request(const std::string& action, const Json& fields = Json::object()) {
        auto reply = process.request(action, fields);
        EXPECT_TRUE(reply.has_value()) << action;
        return reply.value_or(Json::object());
    }
    std::int64_t sequence() { return request("status")["result"]["stateSequence"].get<std::int64_t>(); }
};

Json undetermined(const Json& answer) {
    return Json{{"permissions", {{"video", "not_determined"}, {"audio", "authorized"}}},
                {"permissionRequests", {{"video", answer}}}};
}

void expectError(const Json& reply, const std::string& code, const std::string& message) {
    EXPECT_EQ(reply["ok"], false) << reply.dump();
    EXPECT_EQ(reply["error"]["code"], code) << reply.dump();
    EXPECT_EQ(reply["error"]["message"], message) << reply.dump();
}

TEST(InventoryTest, ACameraAndItsMicrophoneAreOnePlayer) {
    Helper helper(Json{{"video", {device("cam-1", "Quorvelle - Player 01")}},
                       {"audio", {device("mic-1", "Microphone (Quorvelle - Player 01)")}}});
    const Json list = helper.request("list");
    ASSERT_EQ(list["ok"], true) << list.dump();
    const Json& result = list["result"];
    ASSERT_EQ(result["videoDevices"].size(), 1u);
    ASSERT_EQ(result["audioDevices"].size(), 1u);
    EXPECT_EQ(result["videoDevices"][0]["deviceId"], "cam-1");
    EXPECT_EQ(result["videoDevices"][0]["player"], "01");
    EXPECT_EQ(result["videoDevices"][0]["formats"],
              Json::parse(R"([{"width":160,"height":144,"minFps":60.0,"maxFps":60.0}])"));
    EXPECT_EQ(
        result["audioDevices"][0],
        (Json{{"deviceId", "mic-1"}, {"label", "Microphone (Quorvelle - Player 01)"}, {"player", "01"}}));
    EXPECT_EQ(result["permissions"], (Json{{"video", "authorized"}, {"audio", "authorized"}}));
    EXPECT_TRUE(result.contains("sessionId"));
}

TEST(InventoryTest, CapsAndCounts) {
    Json cameras = Json::array();
    for (int i = 1; i <= 5; ++i)
        cameras.push_back(device("cam-" + std::to_string(i), "Quorvelle - Player 0" + std::to_string(i)));
    cameras.push_back(device("builtin", "FaceTime HD Camera"));
    cameras.push_back(device("blank", ""));
    Json tenRanges = Json::array();
    for (int i = 1; i <= 10; ++i) tenRanges.push_back({i, 30});
    cameras[0]["formats"] = Json::array({{{"width", 640}, {"height", 480}, {"ranges", tenRanges}}});
    Json manyFormats = Json::array();
    for (int i = 0; i < 70; ++i)
        manyFormats.push_back({{"width", 100 + i}, {"height", 100}, {"ranges", {{15, 30}}}});
    cameras[1]["formats"] = manyFormats;
    Helper helper(Json{{"video", cameras}});

    const Json result = helper.request("list")["result"];
    EXPECT_EQ(result["counts"]["video"],
              (Json{{"total", 7}, {"unlabeled", 1}, {"unsupported", 1}, {"omitted", 1}}));
    EXPECT_EQ(result["counts"]["audio"],
              (Json{{"total", 0}, {"unlabeled", 0}, {"unsupported", 0}, {"omitted", 0}}));
    ASSERT_EQ(result["videoDevices"].size(), 4u);
    EXPECT_EQ(result["videoDevices"][3]["deviceId"], "cam-4");
    EXPECT_EQ(result["videoDevices"][0]["formats"].size(), 8u);
    EXPECT_EQ(result["videoDevices"][0]["formats"][7]["minFps"], 8.0);
    ASSERT_EQ(result["videoDevices"][1]["formats"].size(), 64u);
    EXPECT_EQ(result["videoDevices"][1]["formats"][63]["width"], 163);
}

TEST(InventoryTest, EachListIsANewInventoryAndOneStateChange) {
    Json camera = device("cam-1", "Quorvelle - Player 07");
    camera["listings"] = 1;
    Helper helper(Json{{"video", {camera}}});
    const std::int64_t before = helper.sequence();
    const Json first = helper.request("list")["result"];
    const Json second = helper.request("list")["result"];
    EXPECT_NE(first["inventoryId"], second["inventoryId"]);
    EXPECT_EQ(second["stateSequence"].get<std::int64_t>(), before + 2);
    EXPECT_EQ(first["videoDevices"][0]["player"], "07");
    // Listed once, then unplugged.
    EXPECT_TRUE(second["videoDevices"].empty());
    EXPECT_EQ(helper.sequence(), before + 2);
}

TEST(PermissionTest, SettledPermissionsAnswerAtOnce) {
    Helper helper(Json{{"permissions", {{"video", "authorized"}, {"audio", "denied"}}}});
    for (const char* media : {"video", "audio"}) {
        const std::int64_t before = helper.sequence();
        const Json reply = helper.request("request_permission", {{"media", media}});
        ASSERT_EQ(reply["ok"], true) << reply.dump();
        EXPECT_EQ(reply["result"]["permissions"], (Json{{"video", "authorized"}, {"audio", "denied"}}));
        EXPECT_EQ(reply["result"]["stateSequence"], before);
        // Not busy: a list is served.
        EXPECT_EQ(helper.request("list")["ok"], true);
    }
    EXPECT_EQ(helper.request("permission_status")["result"]["permissions"],
              (Json{{"video", "authorized"}, {"audio", "denied"}}));
}

TEST(PermissionTest, MediaMustBeVideoOrAudio) {
    Helper helper(Json::object());
    for (const Json& fields :
         {Json::object(), Json{{"media", "screen"}}, Json{{"media", nullptr}}, Json{{"media", 1}}}) {
        expectError(helper.request("request_permission", fields), "INVALID_ARGUMENT",
                    "media must be video or audio");
    }
}

TEST(PermissionTest, AnUndeterminedPermissionIsAnsweredLaterWhileBusy) {
    Helper helper(undetermined({{"answerAfterMs", 4000}, {"grant", true}}));
    EXPECT_EQ(helper.request("permission_status")["result"]["permissions"]["video"], "not_determined");
    const std::int64_t before = helper.sequence();
    const std::string id = qvtest::freshUuid();
    helper.process.sendLine({{"requestId", id}, {"action", "request_permission"}, {"media", "video"}});

    expectError(helper.request("list"), "BUSY", "A native state transition is still in progress");
    EXPECT_EQ(helper.request("status")["ok"], true);

    const auto reply =
        helper.process.readUntil([&](const Json& j) { return j.value("requestId", "") == id; });
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ((*reply)["ok"], true);
    EXPECT_EQ((*reply)["result"]["permissions"], (Json{{"video", "authorized"}, {"audio", "authorized"}}));
    EXPECT_EQ((*reply)["result"]["stateSequence"], before + 1);
    EXPECT_EQ(helper.request("list")["ok"], true);
}

TEST(PermissionTest, ADeniedAnswerIsReportedThroughThePermissions) {
    Helper helper(undetermined({{"answerAfterMs", 0}, {"grant", false}}));
    const Json reply = helper.request("request_permission", {{"media", "video"}});
    ASSERT_EQ(reply["ok"], true) << reply.dump();
    EXPECT_EQ(reply["result"]["permissions"]["video"], "denied");
}

TEST(PermissionTest, CloseWithARequestOutstandingSendsNoPermissionReply) {
    Helper helper(undetermined({{"answerAfterMs", nullptr}}));
    const std::string id = qvtest::freshUuid();
    helper.process.sendLine({{"requestId", id}, {"action", "request_permission"}, {"media", "video"}});
    const Json close = helper.request("close");
    EXPECT_EQ(close["ok"], true) << close.dump();
    EXPECT_EQ(helper.process.waitExit(), 0);
    while (const auto line = helper.process.readJson(1.0)) {
        EXPECT_NE(line->value("requestId", ""), id) << line->dump();
    }
    for (const Json& line : helper.process.skipped())
        EXPECT_NE(line.value("requestId", ""), id) << line.dump();
}

TEST(PermissionTest, AnAnswerThatNeverComesEndsTheHelper) {
    Helper helper(undetermined({{"answerAfterMs", nullptr}}));
    const std::string id = qvtest::freshUuid();
    helper.process.sendLine({{"requestId", id}, {"action", "request_permission"}, {"media", "video"}});
    const auto fatal = helper.process.readEvent("fatal", 60);
    ASSERT_TRUE(fatal.has_value());
    EXPECT_EQ((*fatal)["error"]["code"], "PERMISSION_TIMEOUT");
    EXPECT_EQ((*fatal)["devicesReleased"], false);
    // The close that follows may confirm the release before the forced exit comes.
    const auto status = helper.process.waitExit(10);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(*status == 0 || *status == 2) << *status;
}

TEST(SimulationConfigTest, AnInvalidSimulationFailsStartUp) {
    const auto run =
        qvtest::runHelper({"--stdio"}, "", 20, {{"QUORVELLE_SIMULATED_DEVICES", "{\"video\": 1}"}});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(
        run.out,
        "{\"devicesReleased\":false,\"error\":{\"code\":\"SIMULATION_CONFIG\",\"message\":\"Simulated device "
        "configuration is invalid\"},\"event\":\"fatal\",\"sessionId\":null}\n");
    EXPECT_EQ(run.err, "");
}

}  // namespace
