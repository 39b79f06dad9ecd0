#pragma once

#include "engine/Engine.h"
#include "platform/Runtime.h"
#include "protocol/Output.h"

#include <HelperProcess.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvtest {

// An engine whose output goes to a file, so that a test can read what it wrote even after a
// forked death-test child has ended the process. Work on the engine runs on controlQueue.
struct EngineUnderTest {
    TempDir dir;
    std::string outputPath = dir.path() + "/output.jsonl";
    int fd = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    std::shared_ptr<qv::Output> output = std::make_shared<qv::Output>(fd);
    // The device layer the engine works on; none: the real one.
    std::shared_ptr<qv::DeviceSystem> devices;
    std::shared_ptr<qv::Engine> engine = create();

    EngineUnderTest() = default;
    explicit EngineUnderTest(std::shared_ptr<qv::DeviceSystem> deviceSystem)
        : devices(std::move(deviceSystem)) {}

    std::shared_ptr<qv::Engine> create() {
        const char* previous = std::getenv("TMPDIR");
        const std::string saved = previous ? previous : "";
        ::setenv("TMPDIR", dir.path().c_str(), 1);
        auto made = qv::Engine::create(output, devices);
        if (previous) {
            ::setenv("TMPDIR", saved.c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
        return made;
    }

    void onControl(const std::function<void(qv::Engine&)>& work) {
        qv::controlQueue().sync([&] { work(*engine); });
    }

    static Json request(const std::string& action,
                        const std::string& id = "00000000-0000-4000-8000-000000000001") {
        return Json{{"requestId", id}, {"action", action}};
    }

    // Makes the output readable at `path` too, for a parent whose death-test child writes it.
    void mirrorOutputTo(const std::string& path) const {
        ::unlink(path.c_str());
        if (::link(outputPath.c_str(), path.c_str()) != 0) std::abort();
    }

    // Everything written so far; waits until the output queue has nothing pending.
    std::vector<Json> lines() {
        while (output->pendingLines() > 0) usleep(1000);
        return linesOf(outputPath);
    }

    static std::vector<Json> linesOf(const std::string& path) {
        std::vector<Json> result;
        std::ifstream in(path);
        for (std::string text; std::getline(in, text);) result.push_back(Json::parse(text));
        return result;
    }
};

// Sets up a death test: the child runs the test again in a fresh process. The helper ends with an
// immediate exit while its queue and writer threads still exist, by design, so a thread-sanitizer
// build must not count those threads as leaked.
inline void prepareDeathTest() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* current = std::getenv("TSAN_OPTIONS");
    std::string options = current ? current : "";
    if (options.find("report_thread_leaks") == std::string::npos) {
        ::setenv("TSAN_OPTIONS", (options + (options.empty() ? "" : " ") + "report_thread_leaks=0").c_str(),
                 1);
    }
}

// A file path that a death-test child, which runs the test again from its start, shares with its
// parent: the parent's choice is passed down in the environment.
class SharedPath {
public:
    explicit SharedPath(const std::string& name) {
        if (const char* inherited = std::getenv("QV_SHARED_TEST_DIR")) {
            path_ = std::string(inherited) + "/" + name;
        } else {
            dir_.emplace();
            ::setenv("QV_SHARED_TEST_DIR", dir_->path().c_str(), 1);
            path_ = dir_->path() + "/" + name;
        }
    }
    ~SharedPath() {
        if (dir_) ::unsetenv("QV_SHARED_TEST_DIR");
    }
    const std::string& path() const { return path_; }

private:
    std::optional<TempDir> dir_;
    std::string path_;
};

}  // namespace qvtest
