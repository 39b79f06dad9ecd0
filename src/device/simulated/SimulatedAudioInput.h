#pragma once

#include "device/CaptureInput.h"
#include "device/simulated/PacedLoop.h"
#include "device/simulated/SimulatedDeviceConfig.h"
#include "device/simulated/SimulatedSessionClock.h"

#include <memory>

namespace qv {

// A simulated microphone: SimulatedSound in 10 ms buffers from a capture thread of its own, paced by
// a SimulatedAudioPacer on the session clock's grid: a late capture thread delivers everything heard
// since its last buffer at once, as a device does, stamped where that sound began.
class SimulatedAudioInput final : public CaptureInput {
public:
    SimulatedAudioInput(CaptureDeviceRef device, SimulatedAudioDevice config,
                        std::shared_ptr<SimulatedSessionClock> clock);
    ~SimulatedAudioInput() override;

    bool start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) override;
    void stop() override;
    bool release() override { return true; }

private:
    SimulatedAudioDevice config_;
    std::shared_ptr<SimulatedSessionClock> clock_;
    PacedLoop loop_;
};

}  // namespace qv
