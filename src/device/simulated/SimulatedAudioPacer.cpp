#include "device/simulated/SimulatedAudioPacer.h"

#include <cmath>

namespace qv {

SimulatedAudioPacer::SimulatedAudioPacer(std::shared_ptr<const SimulatedSound> sound, double origin,
                                         double now)
    : sound_(std::move(sound)),
      origin_(origin),
      next_(static_cast<std::int64_t>(std::ceil((now - origin) / bufferSeconds - 0.01))) {}

double SimulatedAudioPacer::firstDue() const {
    return origin_ + static_cast<double>(next_) * bufferSeconds;
}

std::optional<AudioSample> SimulatedAudioPacer::take(double now) {
    // The grid slot that has begun; a tick may fire a hair early by rounding.
    const auto slot = static_cast<std::int64_t>(std::floor((now - origin_) / bufferSeconds + 1e-4));
    if (slot < next_) return std::nullopt;
    AudioSample sample = sound_->between(static_cast<double>(next_) * bufferSeconds,
                                         static_cast<double>(slot + 1) * bufferSeconds);
    // Stamped where its first slot began on the session's grid, as a real device's buffer carries
    // its capture time: stamped when this thread happens to run, a held-up or late thread would
    // make the sound look late, and the recording would take that for a gap.
    sample.presentationTime = origin_ + static_cast<double>(next_) * bufferSeconds;
    next_ = slot + 1;
    return sample;
}

}  // namespace qv
