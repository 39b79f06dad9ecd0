#pragma once

#include "device/CaptureInput.h"
#include "device/simulated/PacedLoop.h"
#include "device/simulated/SimulatedDeviceConfig.h"
#include "media/AudioSample.h"

#include <cstdint>

namespace qv {

// A simulated microphone: a 440 Hz tone in 10 ms buffers from a capture thread of its own.
class SimulatedAudioInput final : public CaptureInput {
public:
    static constexpr double bufferSeconds = 0.01;

    SimulatedAudioInput(CaptureDeviceRef device, SimulatedAudioDevice config);
    ~SimulatedAudioInput() override;

    bool start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) override;
    void stop() override;
    bool release() override { return true; }

    // Buffer `index` of the tone (timestamp left at 0): the frames from index × rate / 100 on, so
    // that buffers of a fractional frame count still add up to the rate.
    static AudioSample toneBuffer(const AudioFormat& format, std::int64_t index);

private:
    SimulatedAudioDevice config_;
    PacedLoop loop_;
};

}  // namespace qv
