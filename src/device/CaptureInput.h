#pragma once

#include "device/CaptureDevice.h"
#include "device/CaptureOutput.h"

#include <memory>
#include <utility>
#include <vector>

namespace qv {

// An opened device attached to a session. A session drives it from one thread at a time; its
// own capture thread feeds the session's matching data output.
class CaptureInput {
public:
    explicit CaptureInput(CaptureDeviceRef device) : device_(std::move(device)) {}
    virtual ~CaptureInput() = default;
    CaptureInput(const CaptureInput&) = delete;
    CaptureInput& operator=(const CaptureInput&) = delete;

    const CaptureDeviceRef& device() const { return device_; }
    MediaType mediaType() const { return device_->mediaType(); }

    // Starts streaming into the output of its media type among `outputs` (none: the frames go
    // nowhere). Blocks until the device streams or gives up; false when it gave up.
    virtual bool start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) = 0;
    // Stops streaming; blocks until its capture thread delivers nothing more. Stopping an input
    // that is not streaming does nothing.
    virtual void stop() = 0;
    // Closes the device. False when the release could not be confirmed; the input then stays
    // attached to its session.
    virtual bool release() = 0;

private:
    CaptureDeviceRef device_;
};

}  // namespace qv
