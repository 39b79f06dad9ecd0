#pragma once

#include "SimulatedPlayerConfig.h"
#include "TestSupport.h"
#include "base/Limits.h"
#include "base/Runtime.h"
#include "base/Uuid.h"
#include "device/simulated/SimulatedDeviceSystem.h"
#include "engine/Engine.h"
#include "protocol/Output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvtest {

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
                             const qv::Limits& limits = qv::protocolLimits, qv::FileIo fileIo = {})
        : devices(
              std::make_shared<qv::SimulatedDeviceSystem>(qv::SimulatedDeviceConfig::parse(players.dump()))),
          engine(qv::Engine::create(output, devices, limits, std::move(fileIo))) {}
    // The engine's state belongs to the control queue, and so does its end.
    ~EngineUnderTest() {
        qv::controlQueue().sync([&] { engine.reset(); });
    }

    void onControl(const std::function<void(qv::Engine&)>& work) {
        qv::controlQueue().sync([&] { work(*engine); });
    }

    static Json request(const std::string& action, const Json& fields = Json::object()) {
        Json request = fields;
        request["requestId"] = qv::randomUuid();
        request["action"] = action;
        return request;
    }

    // Everything written so far; waits until the output queue has nothing pending.
    std::vector<Json> lines() {
        while (output->pendingLines() > 0) usleep(1000);
        return linesOf(outputPath);
    }

    // The first line written that satisfies `predicate`, or null once `timeout` passes.
    Json waitLine(const std::function<bool(const Json&)>& predicate, double timeout = 20.0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        do {
            for (const auto& line : lines()) {
                if (predicate(line)) return line;
            }
            usleep(10000);
        } while (std::chrono::steady_clock::now() < end);
        return nullptr;
    }

    // Hands the request to the engine and waits for its reply.
    Json call(const Json& request) {
        onControl([&](qv::Engine& e) { e.request(request); });
        const std::string id = request["requestId"];
        return waitLine([&](const Json& line) { return line.value("requestId", "") == id; });
    }

    // Lists, then connects to the player's camera (and its microphone); returns the connect reply.
    Json connect(int player, bool withAudio = false) {
        const Json listed = call(request("list"));
        Json selection{{"videoDeviceId", videoId(player)}};
        if (withAudio) selection["audioDeviceId"] = audioId(player);
        return call(
            request("connect", {{"inventoryId", listed["result"]["inventoryId"]}, {"selection", selection}}));
    }

    // Disconnects and waits until the preview and the session have stopped, so that nothing writes
    // into the private directory once the test ends.
    void disconnect() {
        call(request("disconnect"));
        waitStatus([](const Json& status) { return status["connection"] == "disconnected"; });
    }

    // Polls "status" until `predicate` holds; null once `timeout` passes.
    Json waitStatus(const std::function<bool(const Json&)>& predicate, double timeout = 20.0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        do {
            const Json status = call(request("status"))["result"];
            if (predicate(status)) return status;
            usleep(10000);
        } while (std::chrono::steady_clock::now() < end);
        return nullptr;
    }
};

// Runs `work` on a fresh engine in a death-test child, which must then end with `status`; returns
// what the engine wrote and how many seconds the child took.
//
// The child runs the test again in a fresh process and learns the parent's output path through the
// environment. The helper ends with an immediate exit while its queue and writer threads still
// exist, by design, so a thread-sanitizer build must not count those threads as leaked.
inline std::pair<std::vector<Json>, double> linesOfExitingEngine(
    const Json& players, const qv::Limits& limits, const std::function<void(EngineUnderTest&)>& work,
    int status, const qv::FileIo& fileIo = {}) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* tsan = std::getenv("TSAN_OPTIONS");
    const std::string options = tsan ? tsan : "";
    if (options.find("report_thread_leaks") == std::string::npos) {
        ::setenv("TSAN_OPTIONS", (options + " report_thread_leaks=0").c_str(), 1);
    }
    std::optional<TempDir> shared;
    if (!std::getenv("QV_SHARED_TEST_DIR")) {
        shared.emplace();
        ::setenv("QV_SHARED_TEST_DIR", shared->path().c_str(), 1);
    }
    const std::string path = std::string(std::getenv("QV_SHARED_TEST_DIR")) + "/lines.jsonl";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            EngineUnderTest t(players, limits, fileIo);
            ::unlink(path.c_str());
            if (::link(t.outputPath.c_str(), path.c_str()) != 0) std::abort();
            work(t);
            for (;;) pause();
        },
        ::testing::ExitedWithCode(status), "");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (shared) ::unsetenv("QV_SHARED_TEST_DIR");
    return {linesOf(path), seconds};
}

}  // namespace qvtest
