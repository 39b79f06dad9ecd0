#include "device/simulated/SimulatedAudioInput.h"

#include "base/Clock.h"
#include "device/AudioDataOutput.h"
#include "device/simulated/SimulatedSound.h"

#include <cmath>

namespace qv {

SimulatedAudioInput::SimulatedAudioInput(CaptureDeviceRef device, SimulatedAudioDevice config,
                                         std::shared_ptr<SimulatedSessionClock> clock)
    : CaptureInput(std::move(device)), config_(std::move(config)), clock_(std::move(clock)) {}

SimulatedAudioInput::~SimulatedAudioInput() {
    stop();
}

bool SimulatedAudioInput::start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) {
    if (config_.startFailure == SimulatedStartFailure::start) return false;
    if (config_.silent) return true;
    const auto output = findOutput<AudioDataOutput>(outputs);
    if (!output) return true;
    const double origin = clock_->join();
    // The first buffer is the next one on the session's grid.
    const double due = std::ceil((mono() - origin) / bufferSeconds - 0.01);
    auto sound = std::make_shared<SimulatedSound>(AudioFormat{config_.sampleRate, config_.channels},
                                                  config_.clockPpm, *clock_);
    loop_.start(
        "qv.sim.audio", bufferSeconds,
        [output, sound, clock = clock_, origin, next = static_cast<std::int64_t>(due)]() mutable {
            const double now = mono();
            // The grid slot that has begun; a tick may fire a hair early by rounding.
            const auto slot = static_cast<std::int64_t>(std::floor((now - origin) / bufferSeconds + 1e-4));
            if (slot < next) return true;
            AudioSample sample = sound->between(static_cast<double>(next) * bufferSeconds,
                                                static_cast<double>(slot + 1) * bufferSeconds);
            // Stamped where its first slot began on the session's grid, as a real device's buffer
            // carries its capture time: stamped when this thread happens to run, a held-up or late
            // thread would make the sound look late, and the recording would take that for a gap.
            sample.presentationTime = origin + static_cast<double>(next) * bufferSeconds;
            next = slot + 1;
            output->deliver(std::move(sample));
            return true;
        },
        origin + due * bufferSeconds - mono());
    return true;
}

void SimulatedAudioInput::stop() {
    if (!loop_.running()) return;
    loop_.stop();
    clock_->leave();
}

}  // namespace qv
