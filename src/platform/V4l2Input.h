#pragma once

#include "platform/CaptureInput.h"
#include "platform/CaptureThread.h"
#include "platform/DeviceIo.h"

#include <memory>
#include <string>

namespace qv {

// An opened V4L2 capture node streaming in its active format: mmap buffers, a capture thread that
// waits with poll() timeouts and converts each frame to BGRA, and the session's video data output,
// which discards late frames. Frames the driver skipped (sequence gaps), damaged buffers and frames
// that do not decode are reported as dropped. A vanished device (ENODEV) ends the stream.
class V4l2Input final : public CaptureInput {
public:
    // Opens the node and checks that its active format can be streamed; throws PlatformError.
    V4l2Input(CaptureDeviceRef device, DeviceIo& io, const std::string& node);
    ~V4l2Input() override;

    bool start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) override;
    void stop() override;
    // Closes the node. Not confirmed while the capture thread is still inside the kernel.
    bool release() override;

    // True once the device has gone (ENODEV).
    bool unplugged() const;
    // True while the capture thread runs.
    bool streaming() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
    CaptureThread thread_;
};

}  // namespace qv
