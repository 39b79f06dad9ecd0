#pragma once

#include "device/simulated/SimulatedDeviceConfig.h"

#include <cstdint>
#include <optional>

namespace qv {

// Decides, frame by frame, what a simulated camera produces: its size, whether it is lost on the
// way, and when the camera stalls for good.
class SimulatedFrameSchedule {
public:
    struct Frame {
        std::int64_t index = 0;
        int width = 0;
        int height = 0;
        bool dropped = false;
    };

    explicit SimulatedFrameSchedule(const SimulatedVideoDevice& device) : device_(device) {}

    // The next frame, or none once the camera has stalled.
    std::optional<Frame> next();

private:
    const SimulatedVideoDevice& device_;
    std::int64_t produced_ = 0;
};

}  // namespace qv
