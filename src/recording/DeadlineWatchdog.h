#pragma once

#include "base/Limits.h"
#include "base/Queue.h"
#include "base/Timer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace qv {

class ManualTime;

// An independent two-stage deadline: `normal` runs `seconds` after arming, `forced` a further
// `grace` seconds later, both on the watchdog's own queue so that no stuck queue elsewhere can hold
// them up. The normal stage does not disarm the forced one: only cancel(), a new arm() or
// destruction does, so an owner whose orderly wind-down never ends is ended by force.
//
// The queue and timers are made with the watchdog, so arming acquires nothing and cannot fail:
// an owner makes its watchdog once, ahead of the transitions that arm it.
class DeadlineWatchdog {
public:
    // Unarmed; on `time` instead of the real clock, when given.
    explicit DeadlineWatchdog(ManualTime* time = nullptr);
    // Armed at once.
    DeadlineWatchdog(double seconds, double grace, std::function<void()> normal,
                     std::function<void()> forced);
    explicit DeadlineWatchdog(double seconds, std::function<void()> normal, std::function<void()> forced)
        : DeadlineWatchdog(seconds, protocolLimits.watchdogGraceSeconds, std::move(normal),
                           std::move(forced)) {}
    // Acts as cancel().
    ~DeadlineWatchdog();
    DeadlineWatchdog(const DeadlineWatchdog&) = delete;
    DeadlineWatchdog& operator=(const DeadlineWatchdog&) = delete;

    // Replaces whatever was armed; from any thread.
    void arm(double seconds, double grace, std::function<void()> normal, std::function<void()> forced);
    // Disarms both stages; from any thread, any number of times. Once it returns, neither handler
    // starts any more (one already running is not interrupted).
    void cancel();
    bool armed() const;

    // What the timers' handlers share with the watchdog; they never keep the watchdog itself alive.
    struct Flag {
        mutable std::mutex lock;
        // The arming whose stages may run; 0 when none may.
        std::uint64_t active = 0;
        std::uint64_t armings = 0;
    };

private:
    std::unique_ptr<Queue> queue_;
    std::shared_ptr<Flag> flag_;
    std::optional<Timer> deadlineTimer_;
    std::optional<Timer> forceTimer_;
};

}  // namespace qv
