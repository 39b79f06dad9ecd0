#include "device/simulated/SimulatedSound.h"

#include "device/simulated/SimulatedSessionClock.h"

#include <cmath>
#include <numbers>

namespace qv {

namespace {

constexpr double toneHz = 440;
constexpr double burstHz = 1000;

// sin(2π × hz × n / rate), with the phase reduced to one period so it stays exact however long the
// sound runs.
double wave(double hz, std::int64_t n, int rate) {
    const double cycles = std::fmod(hz * static_cast<double>(n) / static_cast<double>(rate), 1.0);
    return std::sin(2 * std::numbers::pi * cycles);
}

}  // namespace

SimulatedSound::SimulatedSound(AudioFormat format, double clockPpm, const SimulatedSessionClock& clock)
    : format_(format), samplesPerSecond_(format.sampleRate * (1 + clockPpm / 1e6)), clock_(clock) {}

std::int64_t SimulatedSound::first(double seconds) const {
    return static_cast<std::int64_t>(std::ceil(seconds * samplesPerSecond_ - 1e-6));
}

AudioSample SimulatedSound::between(double seconds, double end) const {
    const std::int64_t from = first(seconds);
    const std::int64_t to = first(end);
    AudioSample sample;
    sample.format = format_;
    sample.samples.reserve(static_cast<std::size_t>(std::max<std::int64_t>(to - from, 0) * format_.channels));
    for (std::int64_t n = from; n < to; ++n) {
        const std::int16_t v = value(n);
        for (int channel = 0; channel < format_.channels; ++channel) sample.samples.push_back(v);
    }
    return sample;
}

std::int16_t SimulatedSound::value(std::int64_t n) const {
    if (clock_.hasMarks()) {
        // The latest mark at or before this sample, and the sample it is heard at.
        const std::int64_t mark = clock_.marksBy(static_cast<double>(n) / samplesPerSecond_);
        const std::int64_t onset = first(static_cast<double>(mark) * clock_.markPeriod());
        const auto length = static_cast<std::int64_t>(std::llround(burstSeconds * format_.sampleRate));
        if (mark > 0 && n >= onset && n < onset + length) {
            return static_cast<std::int16_t>(wave(burstHz, n - onset, format_.sampleRate) * burstAmplitude);
        }
    }
    return static_cast<std::int16_t>(wave(toneHz, n, format_.sampleRate) * toneAmplitude);
}

}  // namespace qv
