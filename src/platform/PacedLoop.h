#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qv {

// A capture thread: runs a step at a fixed period until stopped. The step runs on the loop's own
// thread; stop() never waits for more than the step in progress.
class PacedLoop {
public:
    PacedLoop() = default;
    ~PacedLoop();
    PacedLoop(const PacedLoop&) = delete;
    PacedLoop& operator=(const PacedLoop&) = delete;

    // `step` returns false when it has nothing more to do; the thread then idles until stopped.
    void start(std::string name, double periodSeconds, std::function<bool()> step);
    // Returns once the thread has ended. Must not be called from the step.
    void stop();
    bool running() const { return thread_.joinable(); }

private:
    void run(double periodSeconds, const std::function<bool()>& step);

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace qv
