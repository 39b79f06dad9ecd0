#pragma once

#include "device/CaptureInput.h"
#include "device/simulated/PacedLoop.h"
#include "device/simulated/SimulatedDeviceConfig.h"

namespace qv {

// A simulated camera streaming the moving test picture at its frame rate, from a capture thread
// of its own, through the same video data output as a real camera.
class SimulatedVideoInput final : public CaptureInput {
public:
    SimulatedVideoInput(CaptureDeviceRef device, SimulatedVideoDevice config);
    ~SimulatedVideoInput() override;

    bool start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) override;
    void stop() override;
    bool release() override;

private:
    SimulatedVideoDevice config_;
    PacedLoop loop_;
};

}  // namespace qv
