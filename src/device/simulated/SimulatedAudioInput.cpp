#include "device/simulated/SimulatedAudioInput.h"

#include "base/Clock.h"
#include "device/AudioDataOutput.h"
#include "device/simulated/SimulatedAudioPacer.h"
#include "device/simulated/SimulatedSound.h"

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
    auto pacer = std::make_shared<SimulatedAudioPacer>(
        std::make_shared<SimulatedSound>(AudioFormat{config_.sampleRate, config_.channels}, config_.clockPpm,
                                         *clock_),
        origin, mono());
    const double firstDelay = pacer->firstDue() - mono();
    loop_.start(
        "qv.sim.audio", SimulatedAudioPacer::bufferSeconds,
        // The sound reads the session clock, which the capture thread keeps alive.
        [output, pacer, clock = clock_] {
            if (auto sample = pacer->take(mono())) output->deliver(std::move(*sample));
            return true;
        },
        firstDelay);
    return true;
}

void SimulatedAudioInput::stop() {
    if (!loop_.running()) return;
    loop_.stop();
    clock_->leave();
}

}  // namespace qv
