#include "device/pipewire/PipeWireDeviceSystem.h"

#include "base/Runtime.h"
#include "device/pipewire/PipeWireDevice.h"
#include "device/pipewire/PipeWireInventory.h"

#include <thread>

namespace qv {

namespace {

// A daemon that has not answered by then is treated as absent or stuck.
constexpr double connectSeconds = 2.0;
// How long a camera request waits for the user: past the engine's own bound, which ends the
// helper first; the dialog is withdrawn after that.
constexpr double accessSeconds = 50.0;

// The connection a media type is reached through: for a camera behind the portal, the portal's
// (none before access is granted).
std::unique_ptr<PipeWireConnection> connectFor(MediaType media, const std::shared_ptr<CameraPortal>& portal) {
    if (media == MediaType::audio || !portal) return PipeWireConnection::open(connectSeconds);
    if (portal->status() != AuthorizationStatus::authorized) return nullptr;
    const int fd = portal->openPipeWireRemote();
    return fd >= 0 ? PipeWireConnection::open(connectSeconds, fd) : nullptr;
}

}  // namespace

std::vector<CaptureDeviceRef> PipeWireDeviceSystem::devices(MediaType media) {
    std::vector<CaptureDeviceRef> devices;
    auto connection = connectFor(media, portal_);
    if (!connection) return devices;
    const auto reconnect = [media, portal = portal_] { return connectFor(media, portal); };
    for (auto& node : listPipeWireNodes(*connection, connectSeconds)) {
        if (node.media == media)
            devices.push_back(std::make_shared<PipeWireDevice>(std::move(node), reconnect));
    }
    return devices;
}

AuthorizationStatus PipeWireDeviceSystem::authorizationStatus(MediaType media) {
    if (media == MediaType::video && portal_) return portal_->status();
    return AuthorizationStatus::authorized;
}

void PipeWireDeviceSystem::requestAccess(MediaType media, std::function<void(bool granted)> completion) {
    if (media == MediaType::video && portal_) {
        // The user may take a while: the wait has a thread of its own, ended by its own bound.
        std::thread([portal = portal_, completion = std::move(completion)] {
            const auto answer = portal->access(accessSeconds);
            if (answer != CameraPortal::Answer::none) completion(answer == CameraPortal::Answer::granted);
        }).detach();
        return;
    }
    const bool granted = authorizationStatus(media) == AuthorizationStatus::authorized;
    dispatchGlobal([completion = std::move(completion), granted] { completion(granted); });
}

bool PipeWireDeviceSystem::available(double timeoutSeconds) {
    return PipeWireConnection::open(timeoutSeconds) != nullptr;
}

}  // namespace qv
