#include "device/simulated/SimulatedFrameSchedule.h"

namespace qv {

std::optional<SimulatedFrameSchedule::Frame> SimulatedFrameSchedule::next() {
    if (device_.stallAfterFrames && produced_ >= *device_.stallAfterFrames) return std::nullopt;
    Frame frame;
    frame.index = produced_;
    ++produced_;
    const bool resized = device_.resizeAfterFrames && frame.index >= *device_.resizeAfterFrames;
    frame.width = resized ? device_.resizeTo.first : device_.width;
    frame.height = resized ? device_.resizeTo.second : device_.height;
    frame.dropped = device_.dropEvery > 0 && produced_ % device_.dropEvery == 0;
    return frame;
}

}  // namespace qv
