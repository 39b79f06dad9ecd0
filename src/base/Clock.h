#pragma once

#include <cstdint>

namespace qv {

// System uptime in seconds (CLOCK_MONOTONIC): the clock of every deadline, cadence and freshness test.
double mono();
// Wall-clock Unix milliseconds, only ever reported.
std::int64_t nowMs();

}  // namespace qv
