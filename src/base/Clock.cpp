#include "base/Clock.h"

#include <ctime>

namespace qv {

double mono() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::int64_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const double seconds = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    return static_cast<std::int64_t>(seconds * 1000.0);
}

}  // namespace qv
