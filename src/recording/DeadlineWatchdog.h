#pragma once

#include "base/Limits.h"
#include "base/Queue.h"
#include "base/Timer.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace qv {

// An independent two-stage deadline: `normal` runs `seconds` after construction, `forced` a further
// `grace` seconds later, both on the watchdog's own queue so that no stuck queue elsewhere can hold
// them up. The normal stage does not disarm the forced one: only cancel() (or destruction) does, so
// an owner whose orderly wind-down never ends is ended by force.
class DeadlineWatchdog {
public:
    DeadlineWatchdog(double seconds, double grace, std::function<void()> normal,
                     std::function<void()> forced);
    explicit DeadlineWatchdog(double seconds, std::function<void()> normal, std::function<void()> forced)
        : DeadlineWatchdog(seconds, protocolLimits.watchdogGraceSeconds, std::move(normal),
                           std::move(forced)) {}
    // Acts as cancel().
    ~DeadlineWatchdog();
    DeadlineWatchdog(const DeadlineWatchdog&) = delete;
    DeadlineWatchdog& operator=(const DeadlineWatchdog&) = delete;

    // Disarms both stages; from any thread, any number of times. Once it returns, neither handler
    // starts any more (one already running is not interrupted).
    void cancel();

    // What the timers' handlers share with the watchdog; they never keep the watchdog itself alive.
    struct Flag {
        std::mutex lock;
        bool active = true;
    };

private:
    std::unique_ptr<Queue> queue_;
    std::shared_ptr<Flag> flag_;
    std::optional<Timer> deadlineTimer_;
    std::optional<Timer> forceTimer_;
};

}  // namespace qv
