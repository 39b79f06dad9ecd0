#pragma once

#include "device/DeviceSystem.h"
#include "device/pipewire/CameraPortal.h"
#include "device/pipewire/PipeWireConnection.h"

#include <memory>

namespace qv {

// The cameras and microphones that PipeWire offers: its Video/Source and Audio/Source nodes.
// Each listing and each capture makes a connection of its own, so nothing here outlives a daemon
// restart. Without a camera portal nothing prompts: both media types are authorized. With one,
// the portal decides the camera's permission and cameras are reached through the connection it
// hands out; the microphone, which has no portal, keeps the ordinary connection.
class PipeWireDeviceSystem final : public DeviceSystem {
public:
    explicit PipeWireDeviceSystem(std::shared_ptr<CameraPortal> portal = nullptr)
        : portal_(std::move(portal)) {}

    std::vector<CaptureDeviceRef> devices(MediaType media) override;
    AuthorizationStatus authorizationStatus(MediaType media) override;
    // With the portal, the camera's completion runs when the user answers; it never runs when
    // nobody does (the engine's own bound ends the wait).
    void requestAccess(MediaType media, std::function<void(bool granted)> completion) override;

    // True when the PipeWire daemon answers within `timeoutSeconds`.
    static bool available(double timeoutSeconds);

private:
    std::shared_ptr<CameraPortal> portal_;
};

}  // namespace qv
