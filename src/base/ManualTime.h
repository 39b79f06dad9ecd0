#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace qv {

// Time that moves only when told to. Timers made on it fire when advance() passes their deadline,
// on their own queues as real ones do, so a test of code that waits out real bounds (a stall, a
// deadline) moves time on instead of sleeping.
class ManualTime {
public:
    explicit ManualTime(double start);
    ManualTime(const ManualTime&) = delete;
    ManualTime& operator=(const ManualTime&) = delete;

    double now() const;
    // Moves time on by `seconds` and starts everything due by then, earliest first.
    void advance(double seconds);

    // For Timer: `fire` runs once time reaches `deadline`, from the thread that advances it.
    void schedule(double deadline, std::function<void(double deadline)> fire);

private:
    mutable std::mutex lock_;
    double now_;
    std::multimap<double, std::function<void(double)>> due_;
};

}  // namespace qv
