#pragma once

#include "media/AudioSample.h"

#include <cstdint>

namespace qv {

class SimulatedSessionClock;

// What a simulated microphone hears: a steady 440 Hz tone and, at every sync mark, a loud 1 kHz
// burst that replaces it for `burstSeconds`. Sample j of the stream is heard j / (rate × (1 +
// ppm / 10⁶)) seconds after the session's start: a clock that runs fast yields more samples per
// second than its nominal rate.
class SimulatedSound {
public:
    static constexpr double burstSeconds = 0.03;
    static constexpr std::int16_t toneAmplitude = 8192;
    static constexpr std::int16_t burstAmplitude = 24000;

    SimulatedSound(AudioFormat format, double clockPpm, const SimulatedSessionClock& clock);

    // The samples heard from `seconds` after the start up to the next `end` seconds (presentation
    // time left at 0): sample numbers from first(seconds) up to first(end).
    AudioSample between(double seconds, double end) const;
    // The number of the first sample heard at or after `seconds` after the start.
    std::int64_t first(double seconds) const;

private:
    std::int16_t value(std::int64_t sample) const;

    AudioFormat format_;
    double samplesPerSecond_;
    const SimulatedSessionClock& clock_;
};

}  // namespace qv
