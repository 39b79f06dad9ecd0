#pragma once

#include "device/CaptureInput.h"
#include "device/simulated/PacedLoop.h"
#include "device/simulated/SimulatedDeviceConfig.h"
#include "device/simulated/SimulatedSessionClock.h"

#include <memory>

namespace qv {

// A simulated microphone: SimulatedSound in 10 ms buffers from a capture thread of its own, each
// stamped with the monotonic time it is produced at. Buffers follow the session clock's 10 ms grid;
// a late capture thread delivers everything heard since its last buffer at once, as a device does.
class SimulatedAudioInput final : public CaptureInput {
public:
    static constexpr double bufferSeconds = 0.01;

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
