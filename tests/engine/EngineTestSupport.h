#pragma once

#include "TestSupport.h"
#include "engine/Engine.h"
#include "base/Runtime.h"
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

// An engine whose output goes to a file, so that a test can read what it wrote even after a
// forked death-test child has ended the process. Work on the engine runs on controlQueue.
struct EngineUnderTest {
    ScopedTmpdir dir;
    std::string outputPath = dir.path() + "/output.jsonl";
    std::shared_ptr<qv::Output> output = std::make_shared<qv::Output>(
        ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    // The device layer the engine works on; none: the real one.
    std::shared_ptr<qv::DeviceSystem> devices;
    std::shared_ptr<qv::Engine> engine = qv::Engine::create(output, devices);

    EngineUnderTest() = default;
    explicit EngineUnderTest(std::shared_ptr<qv::DeviceSystem> deviceSystem)
        : devices(std::move(deviceSystem)) {}

    void onControl(const std::function<void(qv::Engine&)>& work) {
        qv::controlQueue().sync([&] { work(*engine); });
    }

    static Json request(const std::string& action,
                        const std::string& id = "00000000-0000-4000-8000-000000000001") {
        return Json{{"requestId", id}, {"action", action}};
    }

    // Everything written so far; waits until the output queue has nothing pending.
    std::vector<Json> lines() {
        while (output->pendingLines() > 0) usleep(1000);
        return linesOf(outputPath);
    }
};

// Runs `work` on a fresh engine's controlQueue in a death-test child, which must then end with
// `status`; returns what the engine wrote and how many seconds the child took.
//
// The child runs the test again in a fresh process and learns the parent's output path through the
// environment. The helper ends with an immediate exit while its queue and writer threads still
// exist, by design, so a thread-sanitizer build must not count those threads as leaked.
inline std::pair<std::vector<Json>, double> linesOfExitingEngine(
    const std::function<void(EngineUnderTest&)>& work, int status) {
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
            EngineUnderTest t;
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
