#pragma once

#include "HelperProcess.h"
#include "SimulatedPlayerConfig.h"
#include "TestSupport.h"

#include <string>

namespace qvtest {

// One helper in protocol mode against simulated players, with its own private temporary directory.
class SimulatedHelper {
public:
    explicit SimulatedHelper(const Json& config);
    // Checks that nothing reached standard error: in a session no library or runtime may write there.
    ~SimulatedHelper() { EXPECT_EQ(process_.errorText(), ""); }

    HelperProcess* operator->() { return &process_; }
    const Json& ready() const { return ready_; }
    const std::string& sessionDir() const { return sessionDir_; }
    std::string fileText(const std::string& name) const { return qvtest::fileText(sessionDir_ + "/" + name); }

    // The "result" of a successful reply, the "error" record of a failed one (the test fails otherwise).
    Json ok(const std::string& action, const Json& fields = Json::object(), double timeout = 10.0) {
        return outcome(action, process_.request(action, fields, timeout).value_or(Json()), true);
    }
    Json error(const std::string& action, const Json& fields = Json::object()) {
        return outcome(action, process_.request(action, fields).value_or(Json()), false);
    }
    Json status() { return ok("status"); }
    std::vector<Json> rest() { return restOf(process_); }
    // The reply to an earlier send() through the process, or null.
    Json replyTo(const std::string& requestId, double timeout = 20.0) {
        const auto mine = [&](const Json& j) { return j.value("requestId", Json()) == requestId; };
        return process_.readUntil(mine, timeout).value_or(Json());
    }

    // Lists, then connects to the player's camera (and its microphone when `withAudio`): the "result"
    // of the reply, or the "error" record with connectError() (the test fails otherwise). sendConnect()
    // returns the requestId without waiting.
    Json connected(int player, bool withAudio, const Json& extra = Json::object()) {
        return outcome("connect", replyTo(sendConnect(player, withAudio, extra)), true);
    }
    Json connectError(int player, bool withAudio) {
        return outcome("connect", replyTo(sendConnect(player, withAudio)), false);
    }
    std::string sendConnect(int player, bool withAudio, const Json& extra = Json::object());
    // Disconnects and waits until the status shows it; returns that status.
    Json disconnect() {
        ok("disconnect");
        return waitStatus([](const Json& s) { return s["connection"] == "disconnected"; });
    }
    // Polls "status" until `predicate` holds; the test fails when `timeout` passes first.
    Json waitStatus(const std::function<bool(const Json&)>& predicate, double timeout = 15.0);
    Json waitFrame() {
        return waitStatus([](const Json& s) { return !s.value("latestFrame", Json()).is_null(); });
    }

private:
    static Json outcome(const std::string& action, const Json& reply, bool ok);

    TempDir tmp_;
    HelperProcess process_;
    Json ready_;
    std::string sessionDir_;
};

// The error record the helper gives for `code` (a code with one message only).
Json failure(const std::string& code);

// What a shell command writes to standard output, followed by "exit status N" when it fails.
std::string shellOutput(const std::string& command);

// What ffprobe says about a media file: {"streams": [...], "format": {...}} and, when asked, each
// frame's picture type in "frames"; not an object when it cannot be read.
Json probe(const std::string& path, bool frames = false);

}  // namespace qvtest
