#include "device/simulated/SimulatedSessionClock.h"

#include "base/Clock.h"

#include <cmath>

namespace qv {

SimulatedSessionClock::SimulatedSessionClock(std::optional<double> markPeriodMs)
    : markPeriod_(markPeriodMs ? *markPeriodMs / 1000.0 : 0) {}

double SimulatedSessionClock::join() {
    std::lock_guard lock(mutex_);
    if (joined_++ == 0) start_ = mono();
    return start_;
}

void SimulatedSessionClock::leave() {
    std::lock_guard lock(mutex_);
    if (joined_ > 0) --joined_;
}

std::int64_t SimulatedSessionClock::marksBy(double seconds) const {
    if (markPeriod_ <= 0 || seconds < 0) return 0;
    // A nanosecond's grace: a frame paced to land on a mark is not pushed to the next by rounding.
    return static_cast<std::int64_t>(std::floor((seconds + 1e-9) / markPeriod_));
}

}  // namespace qv
