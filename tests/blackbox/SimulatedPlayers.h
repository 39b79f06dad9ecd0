#pragma once

#include "HelperProcess.h"
#include "SimulatedPlayerConfig.h"
#include "TestSupport.h"

#include <memory>
#include <optional>
#include <string>

namespace qvtest {

// One helper in protocol mode against simulated players, with its own private temporary directory.
class SimulatedHelper {
public:
    explicit SimulatedHelper(const Json& config);
    // Checks that nothing reached standard error: in a session no library or runtime may write there.
    ~SimulatedHelper();

    HelperProcess* operator->() { return process_.get(); }
    const Json& ready() const { return ready_; }
    const std::string& sessionDir() const { return sessionDir_; }
    std::string fileText(const std::string& basename) const;

    // The "result" of a successful reply, the "error" record of a failed one (the test fails otherwise).
    Json ok(const std::string& action, const Json& fields = Json::object(), double timeout = 10.0) {
        return reply(action, fields, timeout, true);
    }
    Json error(const std::string& action, const Json& fields = Json::object()) {
        return reply(action, fields, 10.0, false);
    }
    Json status() { return ok("status"); }

    // Sends a request without waiting; returns its requestId.
    std::string send(const std::string& action, const Json& fields = Json::object()) {
        return process_->send(action, fields);
    }
    // The reply to an earlier send(), or null.
    Json replyTo(const std::string& requestId, double timeout = 20.0);

    // Lists, then connects to the player's camera (and its microphone when `withAudio`): the "result"
    // of the reply, or the "error" record with connectError() (the test fails otherwise). sendConnect()
    // returns the requestId without waiting.
    Json connected(int player, bool withAudio, const Json& extra = Json::object());
    Json connectError(int player, bool withAudio) {
        return outcome("connect", connectReply(player, withAudio), false);
    }
    std::string sendConnect(int player, bool withAudio, const Json& extra = Json::object());
    // The connect request for the latest list.
    Json connectFields(int player, bool withAudio) const;
    // Disconnects and waits until the status shows it; returns that status.
    Json disconnect();
    // Polls "status" until `predicate` holds; the test fails when `timeout` passes first.
    Json waitStatus(const std::function<bool(const Json&)>& predicate, double timeout = 15.0);
    // Waits for a published preview frame.
    Json waitFrame(double timeout = 15.0);

    std::optional<std::string> inventoryId;

private:
    Json reply(const std::string& action, const Json& fields, double timeout, bool ok) {
        return outcome(action, process_->request(action, fields, timeout).value_or(Json()), ok);
    }
    static Json outcome(const std::string& action, const Json& reply, bool ok);
    Json connectReply(int player, bool withAudio, const Json& extra = Json::object()) {
        return replyTo(sendConnect(player, withAudio, extra));
    }

    TempDir tmp_;
    std::unique_ptr<HelperProcess> process_;
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
