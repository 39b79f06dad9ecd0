#pragma once

#include "SimulatedPlayerConfig.h"
#include "TestSupport.h"
#include "base/Limits.h"
#include "base/ManualTime.h"
#include "base/Runtime.h"
#include "base/Uuid.h"
#include "device/simulated/SimulatedDeviceSystem.h"
#include "engine/Engine.h"
#include "protocol/Output.h"

#include <fcntl.h>

#include <algorithm>
#include <fstream>
#include <functional>

namespace qvtest {

// Whether a line or status has `key` set to `value`.
inline std::function<bool(const Json&)> has(const char* key, const char* value) {
    return [=](const Json& j) { return j.value(key, "") == value; };
}

inline Json request(const std::string& action, Json fields = Json::object()) {
    fields["requestId"] = qv::randomUuid();
    fields["action"] = action;
    return fields;
}

inline std::vector<Json> linesOf(const std::string& path) {
    std::vector<Json> result;
    std::ifstream in(path);
    for (std::string text; std::getline(in, text);) result.push_back(Json::parse(text));
    return result;
}

// An engine on simulated players whose output goes to a file, so that a test can read what it
// wrote even after a forked death-test child has ended the process. Work on the engine runs on
// controlQueue.
struct EngineUnderTest {
    ScopedTmpdir dir;
    std::string outputPath = dir.path() + "/output.jsonl";
    std::shared_ptr<qv::Output> output = std::make_shared<qv::Output>(
        ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    std::shared_ptr<qv::DeviceSystem> devices;
    std::shared_ptr<qv::Engine> engine;

    explicit EngineUnderTest(const Json& players = Json::object(),
                             const qv::Limits& limits = qv::protocolLimits, qv::FileIo fileIo = {},
                             qv::ManualTime* time = nullptr)
        : devices(
              std::make_shared<qv::SimulatedDeviceSystem>(qv::SimulatedDeviceConfig::parse(players.dump()))),
          engine(qv::Engine::create(output, devices, limits, std::move(fileIo), time)) {}
    // The engine's state belongs to the control queue, and so does its end.
    ~EngineUnderTest() {
        qv::controlQueue().sync([&] { engine.reset(); });
    }

    void onControl(const std::function<void(qv::Engine&)>& work) {
        qv::controlQueue().sync([&] { work(*engine); });
    }

    // The first line written that satisfies `predicate`, or null once `timeout` passes.
    Json waitLine(const std::function<bool(const Json&)>& predicate, double timeout = 20.0) {
        return poll(timeout, [&] {
            waitUntil([&] { return output->pendingLines() == 0; });  // all written so far
            const auto lines = linesOf(outputPath);
            const auto found = std::ranges::find_if(lines, predicate);
            return found == lines.end() ? Json() : *found;
        });
    }

    void send(const Json& request) {
        onControl([&](qv::Engine& e) { e.request(request); });
    }
    // Sends the request and waits for its reply.
    Json call(const Json& request) {
        send(request);
        const std::string id = request["requestId"];
        return waitLine([&](const Json& line) { return line.value("requestId", "") == id; });
    }

    // Lists, then returns the request that connects to the player's camera.
    Json connectRequest(int player) {
        const Json listed = call(request("list"));
        return request("connect", {{"inventoryId", listed["result"]["inventoryId"]},
                                   {"selection", {{"videoDeviceId", videoId(player)}}}});
    }
    Json connect(int player) { return call(connectRequest(player)); }

    // Disconnects and waits until the preview and the session have stopped, so that nothing writes
    // into the private directory once the test ends.
    void disconnect() {
        call(request("disconnect"));
        waitStatus(has("connection", "disconnected"));
    }

    // Polls "status" until `predicate` holds; null once `timeout` passes.
    Json waitStatus(const std::function<bool(const Json&)>& predicate, double timeout = 20.0) {
        return poll(timeout, [&] {
            const Json reply = call(request("status"));
            const Json status = reply.contains("result") ? reply["result"] : Json::object();
            return predicate(status) ? status : Json();
        });
    }

    // What `attempt` gives first that is not null, trying until `timeout` passes.
    static Json poll(double timeout, const std::function<Json()>& attempt) {
        Json found;
        waitUntil([&] { return !(found = attempt()).is_null(); }, timeout);
        return found;
    }
};

}  // namespace qvtest
