#pragma once

#include "device/simulated/SimulatedSound.h"
#include "media/AudioSample.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace qv {

// What a simulated microphone's capture thread delivers when it wakes: everything heard from the
// first 10 ms slot of the session's grid it has not delivered up to the end of the slot that has
// begun, as one buffer stamped where that first slot began, however late the thread woke. The time
// is passed in, so the pacing does not depend on when the thread happens to run.
class SimulatedAudioPacer {
public:
    static constexpr double bufferSeconds = 0.01;

    // `origin` is the session's start on the monotonic clock; the first buffer begins at the first
    // slot that starts at or after `now`.
    SimulatedAudioPacer(std::shared_ptr<const SimulatedSound> sound, double origin, double now);

    // When the first buffer is due, on the monotonic clock.
    double firstDue() const;
    // The buffer for a wake-up at `now`; none when the next slot has not begun.
    std::optional<AudioSample> take(double now);

private:
    std::shared_ptr<const SimulatedSound> sound_;
    double origin_;
    std::int64_t next_;
};

}  // namespace qv
