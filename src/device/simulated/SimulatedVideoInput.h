#pragma once

#include "device/CaptureInput.h"
#include "device/simulated/PacedLoop.h"
#include "device/simulated/SimulatedDeviceConfig.h"
#include "device/simulated/SimulatedSessionClock.h"

#include <memory>

namespace qv {

// A simulated camera streaming the moving test picture at its frame rate, from a capture thread
// of its own, through the same video data output as a real camera. Frames follow the session clock's
// grid of frame intervals; with sync marks, the first frame at or after each mark is all white.
class SimulatedVideoInput final : public CaptureInput {
public:
    SimulatedVideoInput(CaptureDeviceRef device, SimulatedVideoDevice config,
                        std::shared_ptr<SimulatedSessionClock> clock);
    ~SimulatedVideoInput() override;

    bool start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) override;
    void stop() override;
    bool release() override;

private:
    SimulatedVideoDevice config_;
    std::shared_ptr<SimulatedSessionClock> clock_;
    PacedLoop loop_;
};

}  // namespace qv
