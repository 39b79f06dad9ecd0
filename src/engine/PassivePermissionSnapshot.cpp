#include "engine/PassivePermissionSnapshot.h"

#include <cmath>

namespace qv {

PassivePermissionSnapshot::PassivePermissionSnapshot(Clock clock, Reader read)
    : clock_(std::move(clock)), read_(std::move(read)) {}

Json PassivePermissionSnapshot::fresh() {
    cached_.reset();
    return read_();
}

std::pair<double, bool> PassivePermissionSnapshot::observeClock() {
    const double value = clock_();
    if (!std::isfinite(value)) {
        cached_.reset();
        lastClock_.reset();
        return {value, false};
    }
    bool forward = true;
    if (lastClock_ && *lastClock_ > value) {
        cached_.reset();
        forward = false;
    }
    lastClock_ = value;
    return {value, forward};
}

Json PassivePermissionSnapshot::forStatus(bool connected, bool passive) {
    if (!passive || !connected) {
        cached_.reset();
        return read_();
    }
    const auto [now, forwardBefore] = observeClock();
    if (forwardBefore && cached_ && cached_->started <= now && now - cached_->started < maxAge_) {
        return cached_->value;
    }
    cached_.reset();
    Json value = read_();
    const auto [after, forwardAfter] = observeClock();
    if (forwardBefore && std::isfinite(now) && forwardAfter && now <= after && after - now < maxAge_) {
        cached_ = Cached{now, value};
    }
    return value;
}

}  // namespace qv
