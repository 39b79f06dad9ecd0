#include "device/simulated/SimulatedAudioInput.h"

#include "base/Clock.h"
#include "device/AudioDataOutput.h"

#include <cmath>
#include <numbers>

namespace qv {

namespace {
constexpr double toneHz = 440;
constexpr double amplitude = 8192;
constexpr std::int64_t buffersPerSecond = 100;
}  // namespace

SimulatedAudioInput::SimulatedAudioInput(CaptureDeviceRef device, SimulatedAudioDevice config)
    : CaptureInput(std::move(device)), config_(std::move(config)) {}

SimulatedAudioInput::~SimulatedAudioInput() {
    loop_.stop();
}

AudioSample SimulatedAudioInput::toneBuffer(const AudioFormat& format, std::int64_t index) {
    const std::int64_t first = index * format.sampleRate / buffersPerSecond;
    const std::int64_t end = (index + 1) * format.sampleRate / buffersPerSecond;
    AudioSample sample;
    sample.format = format;
    sample.samples.reserve(static_cast<std::size_t>((end - first) * format.channels));
    for (std::int64_t frame = first; frame < end; ++frame) {
        // The phase is reduced to one period so it stays exact however long the tone runs.
        const double cycles =
            std::fmod(toneHz * static_cast<double>(frame) / static_cast<double>(format.sampleRate), 1.0);
        const auto value = static_cast<std::int16_t>(std::sin(2 * std::numbers::pi * cycles) * amplitude);
        for (int channel = 0; channel < format.channels; ++channel) sample.samples.push_back(value);
    }
    return sample;
}

bool SimulatedAudioInput::start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) {
    if (config_.startFailure == SimulatedStartFailure::start) return false;
    if (config_.silent) return true;
    const auto output = findOutput<AudioDataOutput>(outputs);
    if (!output) return true;
    const AudioFormat format{config_.sampleRate, config_.channels};
    loop_.start("qv.sim.audio", bufferSeconds, [output, format, index = std::int64_t{0}]() mutable {
        AudioSample sample = toneBuffer(format, index++);
        sample.presentationTime = mono();
        output->deliver(std::move(sample));
        return true;
    });
    return true;
}

void SimulatedAudioInput::stop() {
    loop_.stop();
}

}  // namespace qv
