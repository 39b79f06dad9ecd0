#include "HelperProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

using namespace qvtest;

namespace {

const std::string firstId = "00000000-0000-4000-8000-000000000001";
const std::string secondId = "00000000-0000-4000-8000-00000000000A";

std::string line(const std::string& requestId, const std::string& action) {
    return Json{{"requestId", requestId}, {"action", action}}.dump() + "\n";
}

// A helper in protocol mode with its private directory under a scratch TMPDIR.
struct Session {
    TempDir tmp;
    HelperProcess process{{"--stdio"}, {{"TMPDIR", tmp.path()}}};

    Json ready() {
        auto first = process.readJson();
        EXPECT_TRUE(first.has_value());
        EXPECT_EQ(first.value_or(Json{})["event"], "ready");
        return first.value_or(Json{});
    }

    // Every line left until standard output ends.
    std::vector<Json> rest(double timeout = 20.0) {
        std::vector<Json> lines;
        while (auto next = process.readJson(timeout)) lines.push_back(*next);
        return lines;
    }
};

bool isFatal(const Json& j, const std::string& code) {
    return j.value("event", "") == "fatal" && j["error"]["code"] == code && j["devicesReleased"] == false;
}

std::string errorCode(const std::optional<Json>& reply) {
    if (!reply || !reply->contains("error")) return "";
    return (*reply)["error"]["code"];
}

}  // namespace

TEST(ProtocolSession, ReadyComesFirstEvenWhenARequestIsWrittenAtOnce) {
    TempDir tmp;
    HelperProcess process({"--stdio"}, {{"TMPDIR", tmp.path()}});
    process.write(line(firstId, "status"));
    const auto ready = process.readJson();
    ASSERT_TRUE(ready);
    EXPECT_EQ((*ready)["event"], "ready");
    EXPECT_EQ((*ready)["protocolVersion"], 1);
    EXPECT_EQ((*ready)["platform"], "linux");
    EXPECT_EQ((*ready)["stateSequence"], 0);
    EXPECT_EQ((*ready)["limits"], (Json{{"maxDurationMs", 600000},
                                        {"maxRecordingBytes", 134217728},
                                        {"maxRecordings", 2},
                                        {"maxScreenshots", 32},
                                        {"maxScreenshotBytes", 2097152},
                                        {"maxPreviewBytes", 1048576}}));
    const std::string dir = (*ready)["sessionDir"];
    EXPECT_EQ(dir.rfind(tmp.path() + "/quorvelle-native-capture-", 0), 0u);
    struct stat info {};
    ASSERT_EQ(stat(dir.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    const auto reply = process.readJson();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["requestId"], firstId);
    EXPECT_EQ((*reply)["ok"], true);
    EXPECT_EQ((*reply)["result"]["sessionId"], (*ready)["sessionId"]);
}

TEST(ProtocolSession, DispatchChecksComeInTheirOrder) {
    Session s;
    s.ready();
    auto& p = s.process;

    p.sendLine({{"requestId", firstId}, {"action", 5}});
    auto reply = p.readJson();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["error"], (Json{{"code", "INVALID_REQUEST"},
                                       {"message", "A bounded requestId and action are required"}}));
    EXPECT_EQ((*reply)["ok"], false);
    EXPECT_FALSE(reply->contains("result"));
    EXPECT_TRUE(reply->contains("sessionId"));
    EXPECT_EQ((*reply)["stateSequence"], 0);

    EXPECT_EQ(errorCode(p.request("nonsense", {{"extra", 1}})), "UNKNOWN_ACTION");
    reply = p.request("status", {{"extra", true}});
    EXPECT_EQ((*reply)["error"], (Json{{"code", "INVALID_ARGUMENT"}, {"message", "Unknown request field"}}));
    // A key of the set may be missing, but "requestId" decides everything before the action does.
    EXPECT_EQ(errorCode(p.request("release_frame", {{"bogus", 1}})), "INVALID_ARGUMENT");

    const auto first = p.request("status");
    const auto second = p.request("status");
    ASSERT_TRUE(first && second);
    EXPECT_EQ((*first)["ok"], true);
    EXPECT_EQ((*first)["result"]["stateSequence"], (*second)["result"]["stateSequence"]);
    EXPECT_EQ((*first)["result"]["connection"], "disconnected");
    EXPECT_EQ((*first)["result"]["recording"], nullptr);
    EXPECT_FALSE((*first)["result"].contains("videoFormat"));

    const auto clock = p.request("clock");
    ASSERT_TRUE(clock);
    EXPECT_EQ((*clock)["result"]["clock"], "system-uptime");
    EXPECT_TRUE((*clock)["result"]["uptimeMs"].is_number_float());

    // Upper-case requestIds are valid and echoed as sent.
    p.write(line(secondId, "status"));
    reply = p.readJson();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["requestId"], secondId);
}

TEST(ProtocolSession, CloseWithoutConnectionAnswersAndExitsZero) {
    Session s;
    const auto ready = s.ready();
    s.process.write(line(firstId, "close"));
    const auto lines = s.rest();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["requestId"], firstId);
    EXPECT_EQ(lines[0]["result"]["closed"], true);
    EXPECT_EQ(lines[0]["result"]["devicesReleased"], true);
    EXPECT_EQ(lines[1]["event"], "closed");
    EXPECT_EQ(lines[1]["devicesReleased"], true);
    EXPECT_EQ(lines[1]["sessionId"], ready["sessionId"]);
    EXPECT_EQ(lines[1]["stateSequence"], lines[0]["result"]["stateSequence"]);
    EXPECT_EQ(s.process.waitExit(), 0);
    EXPECT_EQ(s.process.errorText(), "");
}

TEST(ProtocolSession, EachSignalClosesInOrderWithoutAReply) {
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        Session s;
        s.ready();
        s.process.signal(number);
        if (number == SIGTERM) s.process.signal(SIGTERM);
        const auto lines = s.rest();
        ASSERT_EQ(lines.size(), 1u) << number;
        EXPECT_EQ(lines[0]["event"], "closed");
        EXPECT_EQ(lines[0]["devicesReleased"], true);
        EXPECT_EQ(s.process.waitExit(), 0) << number;
    }
}

TEST(ProtocolSession, RequestWithoutValidIdEndsTheHelperUnanswered) {
    for (const Json& request :
         {Json::object(), Json{{"requestId", "{00000000-0000-4000-8000-000000000001}"}, {"action", "status"}},
          Json{{"requestId", 1}, {"action", "status"}}}) {
        Session s;
        s.ready();
        s.process.sendLine(request);
        s.process.write(line(firstId, "status"));
        const auto lines = s.rest();
        ASSERT_GE(lines.size(), 1u);
        EXPECT_TRUE(isFatal(lines[0], "INVALID_REQUEST")) << lines[0];
        // The helper is closing by the time the valid request is looked at.
        for (const auto& j : lines) {
            if (j.contains("requestId")) {
                EXPECT_EQ(errorCode(j), "CLOSING") << j;
            }
        }
        EXPECT_EQ(lines.back()["event"], "closed");
        EXPECT_EQ(s.process.waitExit(), 0);
    }
}

TEST(ProtocolSession, HostThatStopsReadingEndsTheHelperWithinBounds) {
    Session s;
    s.ready();
    std::string many;
    for (int i = 0; i < 3000; ++i) many += line(firstId, "status");
    const auto start = std::chrono::steady_clock::now();
    s.process.write(many);
    const auto status = s.process.waitExit(40.0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 2);
    // A line may wait 2 s; the emergency close then exits 2 s later at the latest.
    EXPECT_LT(seconds, 20.0);
    EXPECT_EQ(s.process.errorText(), "");
}

TEST(ProtocolSession, EngineThatCannotBeBuiltWritesOneFatalLineAndExitsOne) {
    const auto result = runHelper({"--stdio"}, {}, 20.0, {{"TMPDIR", "relative/dir"}});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(
        result.out,
        "{\"devicesReleased\":false,\"error\":{\"code\":\"OUTPUT_DIRECTORY\",\"message\":\"Temporary "
        "directory must be an existing absolute directory\"},\"event\":\"fatal\",\"sessionId\":null}\n");
    EXPECT_EQ(result.err, "");
}
