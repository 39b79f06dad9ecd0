#include "device/pipewire/PipeWireDeviceSystem.h"

#include "base/Runtime.h"
#include "device/pipewire/PipeWireDevice.h"
#include "device/pipewire/PipeWireInventory.h"

namespace qv {

namespace {

// A daemon that has not answered by then is treated as absent or stuck.
constexpr double connectSeconds = 2.0;

std::unique_ptr<PipeWireConnection> connectToDaemon() {
    return PipeWireConnection::open(connectSeconds);
}

}  // namespace

std::vector<CaptureDeviceRef> PipeWireDeviceSystem::devices(MediaType media) {
    std::vector<CaptureDeviceRef> devices;
    auto connection = connectToDaemon();
    if (!connection) return devices;
    for (auto& node : listPipeWireNodes(*connection, connectSeconds)) {
        if (node.media == media)
            devices.push_back(std::make_shared<PipeWireDevice>(std::move(node), connectToDaemon));
    }
    return devices;
}

AuthorizationStatus PipeWireDeviceSystem::authorizationStatus(MediaType /*media*/) {
    return AuthorizationStatus::authorized;
}

void PipeWireDeviceSystem::requestAccess(MediaType media, std::function<void(bool granted)> completion) {
    const bool granted = authorizationStatus(media) == AuthorizationStatus::authorized;
    dispatchGlobal([completion = std::move(completion), granted] { completion(granted); });
}

bool PipeWireDeviceSystem::available(double timeoutSeconds) {
    return PipeWireConnection::open(timeoutSeconds) != nullptr;
}

}  // namespace qv
