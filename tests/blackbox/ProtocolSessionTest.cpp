#include "HelperProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

using namespace qvtest;

namespace {

const std::string firstId = "00000000-0000-4000-8000-000000000001";

std::string line(const std::string& requestId, const std::string& action) {
    return Json{{"requestId", requestId}, {"action", action}}.dump() + "\n";
}

std::string errorCode(const std::optional<Json>& reply) {
    if (!reply || !reply->contains("error")) return "";
    return (*reply)["error"]["code"];
}

// A helper in protocol mode with its private directory under a scratch TMPDIR.
struct Session {
    TempDir tmp;
    HelperProcess process{{"--stdio"}, {{"TMPDIR", tmp.path()}}};

    // Every line left until standard output ends.
    std::vector<Json> rest() {
        std::vector<Json> lines;
        while (auto next = process.readJson(20.0)) lines.push_back(*next);
        return lines;
    }
};

}  // namespace

TEST(ProtocolSession, ReadyComesFirstThenRequestsAreCheckedInOrderUntilClose) {
    Session s;
    auto& p = s.process;
    // Written before "ready" is read.
    p.write(line(firstId, "status"));
    const auto ready = p.readJson();
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
    EXPECT_EQ(dir.rfind(s.tmp.path() + "/quorvelle-native-capture-", 0), 0u);
    struct stat info {};
    ASSERT_EQ(stat(dir.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    auto reply = p.readJson();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["requestId"], firstId);
    EXPECT_EQ((*reply)["result"]["sessionId"], (*ready)["sessionId"]);

    p.sendLine({{"requestId", firstId}, {"action", 5}});
    reply = p.readJson();
    ASSERT_TRUE(reply);
    EXPECT_EQ(
        *reply,
        (Json{{"requestId", firstId},
              {"ok", false},
              {"sessionId", (*ready)["sessionId"]},
              {"stateSequence", 0},
              {"error",
               {{"code", "INVALID_REQUEST"}, {"message", "A bounded requestId and action are required"}}}}));
    EXPECT_EQ(errorCode(p.request("nonsense", {{"extra", 1}})), "UNKNOWN_ACTION");
    EXPECT_EQ((*p.request("status", {{"extra", true}}))["error"],
              (Json{{"code", "INVALID_ARGUMENT"}, {"message", "Unknown request field"}}));
    // A key of the set may be missing, but an unknown one is refused.
    EXPECT_EQ(errorCode(p.request("release_frame", {{"bogus", 1}})), "INVALID_ARGUMENT");

    const auto first = p.request("status");
    const auto second = p.request("status");
    ASSERT_TRUE(first && second);
    EXPECT_EQ((*first)["result"]["stateSequence"], (*second)["result"]["stateSequence"]);
    EXPECT_EQ((*first)["result"]["connection"], "disconnected");
    EXPECT_EQ((*first)["result"]["recording"], nullptr);
    EXPECT_FALSE((*first)["result"].contains("videoFormat"));
    const auto clock = p.request("clock");
    ASSERT_TRUE(clock);
    EXPECT_EQ((*clock)["result"]["clock"], "system-uptime");
    EXPECT_TRUE((*clock)["result"]["uptimeMs"].is_number_float());

    // Upper-case requestIds are valid and echoed as sent.
    const std::string upperId = "00000000-0000-4000-8000-00000000000A";
    p.write(line(upperId, "close"));
    const auto lines = s.rest();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["requestId"], upperId);
    EXPECT_EQ(lines[0]["result"]["closed"], true);
    EXPECT_EQ(lines[0]["result"]["devicesReleased"], true);
    EXPECT_EQ(lines[1]["event"], "closed");
    EXPECT_EQ(lines[1]["devicesReleased"], true);
    EXPECT_EQ(lines[1]["sessionId"], (*ready)["sessionId"]);
    EXPECT_EQ(lines[1]["stateSequence"], lines[0]["result"]["stateSequence"]);
    EXPECT_EQ(p.waitExit(), 0);
    EXPECT_EQ(p.errorText(), "");
}

TEST(ProtocolSession, EachSignalClosesInOrderWithoutAReply) {
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        Session s;
        ASSERT_TRUE(s.process.readEvent("ready"));
        s.process.signal(number);
        if (number == SIGTERM) s.process.signal(SIGTERM);
        const auto lines = s.rest();
        ASSERT_EQ(lines.size(), 1u) << number;
        EXPECT_EQ(lines[0]["event"], "closed");
        EXPECT_EQ(lines[0]["devicesReleased"], true);
        EXPECT_EQ(s.process.waitExit(), 0) << number;
    }
}

TEST(ProtocolSession, HostThatStopsReadingEndsTheHelperWithinBounds) {
    Session s;
    ASSERT_TRUE(s.process.readEvent("ready"));
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
