#include "SimulatedPlayers.h"

#include <glob.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

using namespace qvtest;
namespace fs = std::filesystem;

namespace {

std::string idOf(char c) {
    return std::string("00000000-0000-4000-8000-00000000000") + c;
}

std::string statusText(const std::string& id) {
    return Json{{"requestId", id}, {"action", "status"}}.dump();
}

// True when the machine has a video node or a sound card, whose listing a test cannot predict.
bool hasCaptureHardware() {
    glob_t found{};
    const bool any = ::glob("/dev/{video*,snd/pcmC*}", GLOB_BRACE, nullptr, &found) == 0;
    ::globfree(&found);
    return any;
}

// A helper in protocol mode on the real device layer (an empty value selects it, as an unset one does),
// with its private directory under a scratch TMPDIR.
struct Session {
    TempDir tmp;
    HelperProcess process{{"--stdio"}, {{"TMPDIR", tmp.path()}, {"QUORVELLE_SIMULATED_DEVICES", ""}}};
    // Reads "ready" first unless the test writes before it.
    explicit Session(bool readReady = true) { EXPECT_TRUE(!readReady || process.readEvent("ready")); }
};

}  // namespace

TEST(ProtocolSession, ReadyComesFirstThenRequestsAreCheckedInOrderUntilClose) {
    Session s(false);
    auto& p = s.process;
    p.write(statusText(idOf('1')) + "\n");  // before "ready" is read
    const std::string readyText = p.readLine().value_or("{}");
    EXPECT_NE(readyText.find("\\/"), std::string::npos) << "slashes go out escaped";
    const Json ready = Json::parse(readyText);
    EXPECT_TRUE(includes(
        ready,
        Json::parse(R"({"event":"ready","protocolVersion":1,"platform":"linux","stateSequence":0,)"
                    R"("limits":{"maxDurationMs":600000,"maxRecordingBytes":134217728,"maxRecordings":2,)"
                    R"("maxScreenshots":32,"maxScreenshotBytes":2097152,"maxPreviewBytes":1048576}})")));
    const std::string dir = ready.value("sessionDir", "");
    EXPECT_TRUE(dir.starts_with(s.tmp.path() + "/quorvelle-native-capture-")) << dir;
    EXPECT_EQ(fs::status(dir).type(), fs::file_type::directory);
    EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);
    Json reply = p.readJson().value_or(Json());
    EXPECT_EQ(reply["requestId"], idOf('1'));
    const std::string session = ready["sessionId"];
    EXPECT_EQ(reply["result"]["sessionId"], session);

    p.sendLine({{"requestId", idOf('1')}, {"action", 5}});
    EXPECT_EQ(
        p.readLine().value_or(""),
        R"({"error":{"code":"INVALID_REQUEST","message":"A bounded requestId and action are required"},)"
        R"("ok":false,"requestId":")" +
            idOf('1') + R"(","sessionId":")" + session + R"(","stateSequence":0})");
    EXPECT_EQ(p.request("nonsense", {{"extra", 1}}).value_or(Json())["error"]["code"], "UNKNOWN_ACTION");
    EXPECT_EQ(p.request("status", {{"extra", true}}).value_or(Json())["error"],
              (Json{{"code", "INVALID_ARGUMENT"}, {"message", "Unknown request field"}}));
    // A key of the set may be missing, but an unknown one is refused.
    EXPECT_EQ(p.request("release_frame", {{"bogus", 1}}).value_or(Json())["error"]["code"],
              "INVALID_ARGUMENT");

    const Json first = p.result("status");
    EXPECT_TRUE(includes(
        p.result("status"),
        {{"connection", "disconnected"}, {"recording", nullptr}, {"stateSequence", first["stateSequence"]}}));
    EXPECT_TRUE(p.result("clock")["uptimeMs"].is_number_float());

    // Without cameras or sound cards the list is empty and nothing prompts: access is authorized.
    if (!hasCaptureHardware()) {
        const Json authorized = {{"video", "authorized"}, {"audio", "authorized"}};
        const Json none = {{"total", 0}, {"unlabeled", 0}, {"unsupported", 0}, {"omitted", 0}};
        EXPECT_TRUE(includes(p.result("list"), {{"videoDevices", Json::array()},
                                                {"audioDevices", Json::array()},
                                                {"counts", {{"video", none}, {"audio", none}}},
                                                {"permissions", authorized}}));
        EXPECT_EQ(p.result("permission_status")["permissions"], authorized);
        EXPECT_EQ(p.result("request_permission", {{"media", "audio"}})["permissions"], authorized);
    }

    // Upper-case requestIds are valid and echoed as sent.
    const std::string upperId = "00000000-0000-4000-8000-00000000000A";
    p.write(Json{{"requestId", upperId}, {"action", "close"}}.dump() + "\n");
    const auto lines = restOf(s.process);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["requestId"], upperId);
    EXPECT_TRUE(includes(lines[0]["result"], {{"closed", true}, {"devicesReleased", true}}));
    EXPECT_EQ(lines[1], (Json{{"event", "closed"},
                              {"devicesReleased", true},
                              {"sessionId", ready["sessionId"]},
                              {"stateSequence", lines[0]["result"]["stateSequence"]}}));
    EXPECT_EQ(p.waitExit(), 0);
    EXPECT_EQ(p.errorText(), "");
}

TEST(ProtocolSession, SignalsCloseWithoutAReplyAndAHostThatStopsReadingEndsTheHelper) {
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        Session s;
        s.process.signal(number);
        if (number == SIGTERM) s.process.signal(SIGTERM);  // a second one changes nothing
        const auto lines = restOf(s.process);
        ASSERT_EQ(lines.size(), 1u) << number;
        EXPECT_TRUE(includes(lines[0], {{"event", "closed"}, {"devicesReleased", true}}));
        EXPECT_EQ(s.process.waitExit(), 0) << number;
    }
    Session s;
    std::string many;
    for (int i = 0; i < 3000; ++i) many += statusText(idOf('1')) + "\n";
    const auto start = std::chrono::steady_clock::now();
    s.process.write(many);
    // Usually the pipe fills, a reply waits out its 2 s and the helper exits 2. On a busy machine the
    // replies can instead pile up behind a slow output queue before the pipe is full; the helper
    // then stops as well, drains what fits and ends in order with 0. Either way it ends, and soon.
    const auto status = s.process.waitExit(40.0);
    EXPECT_TRUE(status == 2 || status == 0) << status.value_or(-1);
    // A line may wait 2 s; the emergency close then exits 2 s later at the latest.
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20.0);
    EXPECT_EQ(s.process.errorText(), "");
}

TEST(RequestIntake, ValidLinesAreAnsweredInOrderHoweverTheyArrive) {
    std::string exact = statusText(idOf('a'));
    exact.append(8192 - exact.size(), ' ');
    const std::string split = statusText(idOf('e')) + "\n";
    // A line of exactly the bound, CR LF, two requests in one write, one split across three writes,
    // and a partial line at the end of input.
    Session s;
    for (const auto& piece :
         {exact + "\n", statusText(idOf('b')) + "\r\n",
          statusText(idOf('c')) + "\n" + statusText(idOf('d')) + "\n", split.substr(0, 10),
          split.substr(10, 20), split.substr(30), statusText(idOf('f')).substr(0, 20)}) {
        s.process.write(piece);
        usleep(20000);  // lets the pieces arrive apart; the outcome is the same if they do not
    }
    s.process.closeInput();
    const auto lines = restOf(s.process);
    ASSERT_EQ(lines.size(), 6u);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(includes(lines[i], {{"requestId", idOf(static_cast<char>('a' + i))}, {"ok", true}}));
    EXPECT_EQ(lines[5]["event"], "closed");
    EXPECT_EQ(s.process.waitExit(20.0), 0);
}

TEST(RequestIntake, WhatIsNotABoundedRequestEndsTheSessionUnanswered) {
    std::vector<std::pair<std::string, std::string>> cases;
    // Standard input stays open: the 8193rd byte alone must end the session.
    std::string oversized = statusText(idOf('a'));
    cases.push_back({oversized.append(8193 - oversized.size(), ' '), "REQUEST_TOO_LARGE"});
    const std::string next = "\n" + statusText(idOf('b')) + "\n";
    for (const std::string bad : {"", "[1,2]", "42", "null", "{\"a\":1,}", "{\"requestId\":\"\xff\"}"})
        cases.push_back({bad + next, "INVALID_JSON"});
    cases.push_back({statusText(idOf('a')) + " x" + next, "INVALID_JSON"});
    for (const Json& request : {Json::object(), Json{{"requestId", 1}, {"action", "status"}},
                                Json{{"requestId", "{" + idOf('1') + "}"}, {"action", "status"}}})
        cases.push_back({request.dump() + next, "INVALID_REQUEST"});
    for (const auto& [input, code] : cases) {
        SCOPED_TRACE(input.substr(0, 60));
        Session s;
        s.process.write(input);
        const auto lines = restOf(s.process);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_TRUE(includes(lines[0], {{"event", "fatal"}, {"devicesReleased", false}}));
        EXPECT_EQ(lines[0]["error"]["code"], code);
        // A request after an invalid one is never read; one handed over meanwhile finds the helper closing.
        for (const auto& j : lines)
            EXPECT_TRUE(!j.contains("requestId") ||
                        (code == "INVALID_REQUEST" && j["error"]["code"] == "CLOSING"))
                << j;
        EXPECT_EQ(lines.back()["event"], "closed");
        EXPECT_EQ(s.process.waitExit(20.0), 0);
    }
}
