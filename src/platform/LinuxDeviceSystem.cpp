#include "platform/LinuxDeviceSystem.h"

#include "platform/Runtime.h"

namespace qv {

std::vector<CaptureDeviceRef> LinuxDeviceSystem::devices(MediaType) {
    return {};
}

AuthorizationStatus LinuxDeviceSystem::authorizationStatus(MediaType) {
    return AuthorizationStatus::authorized;
}

void LinuxDeviceSystem::requestAccess(MediaType media, std::function<void(bool granted)> completion) {
    const bool granted = authorizationStatus(media) == AuthorizationStatus::authorized;
    dispatchGlobal([completion = std::move(completion), granted] { completion(granted); });
}

}  // namespace qv
