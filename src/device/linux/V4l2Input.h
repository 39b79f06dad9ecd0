#pragma once

#include "device/DeviceInput.h"
#include "device/linux/DeviceIo.h"

#include <string>

namespace qv {

// An opened V4L2 capture node streaming in its active format: mmap buffers, a capture thread that
// waits with poll() timeouts and converts each frame to BGRA, and the session's video data output,
// which discards late frames. Frames the driver skipped (sequence gaps), damaged buffers and frames
// that do not decode are reported as dropped. A vanished device (ENODEV) ends the stream.
class V4l2Input final : public DeviceInput {
public:
    // Opens the node and checks that its active format can be streamed; throws PlatformError.
    V4l2Input(CaptureDeviceRef device, DeviceIo& io, const std::string& node);
};

}  // namespace qv
