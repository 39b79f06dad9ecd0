#pragma once

#include "base/Queue.h"
#include "base/Timer.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qv {

// A capture thread: a serial queue of its own whose repeating timer runs a step at a fixed period
// until stopped. stop() never waits for more than the step in progress.
class PacedLoop {
public:
    PacedLoop() = default;
    ~PacedLoop();
    PacedLoop(const PacedLoop&) = delete;
    PacedLoop& operator=(const PacedLoop&) = delete;

    // `step` returns false when it has nothing more to do; the thread then idles until stopped. The
    // first step runs `firstDelay` seconds from now.
    void start(std::string name, double periodSeconds, std::function<bool()> step, double firstDelay = 0);
    // Returns once no step runs any more. Must not be called from the step.
    void stop();
    bool running() const { return queue_ != nullptr; }

private:
    std::unique_ptr<Queue> queue_;
    std::optional<Timer> timer_;
};

}  // namespace qv
