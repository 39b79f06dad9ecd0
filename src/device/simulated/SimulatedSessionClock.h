#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

namespace qv {

// The start of a simulated capture session, shared by its camera and microphone: both pace their
// samples from it, so that a sync mark (a white frame and a tone burst) falls at the same monotonic
// instant in both. The first input to start fixes it; it holds until every input has stopped.
class SimulatedSessionClock {
public:
    explicit SimulatedSessionClock(std::optional<double> markPeriodMs = std::nullopt);

    // An input begins streaming: the session's start on the monotonic clock, in seconds.
    double join();
    void leave();

    bool hasMarks() const { return markPeriod_ > 0; }
    // Seconds between marks; the first mark is one period after the start.
    double markPeriod() const { return markPeriod_; }
    // The number of marks at or before `seconds` after the start.
    std::int64_t marksBy(double seconds) const;

private:
    const double markPeriod_;
    std::mutex mutex_;
    int joined_ = 0;
    double start_ = 0;
};

}  // namespace qv
