#pragma once

#include "device/DeviceSystem.h"
#include "device/pipewire/PipeWireConnection.h"

#include <memory>

namespace qv {

// The cameras and microphones that PipeWire offers: its Video/Source and Audio/Source nodes.
// Each listing and each capture makes a connection of its own, so nothing here outlives a daemon
// restart. Nothing prompts for the ordinary connection: both media types are authorized.
class PipeWireDeviceSystem final : public DeviceSystem {
public:
    std::vector<CaptureDeviceRef> devices(MediaType media) override;
    AuthorizationStatus authorizationStatus(MediaType media) override;
    void requestAccess(MediaType media, std::function<void(bool granted)> completion) override;

    // True when the PipeWire daemon answers within `timeoutSeconds`.
    static bool available(double timeoutSeconds);
};

}  // namespace qv
