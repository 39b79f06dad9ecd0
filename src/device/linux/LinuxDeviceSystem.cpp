#include "device/linux/LinuxDeviceSystem.h"

#include "base/Runtime.h"
#include "device/linux/AlsaDevice.h"
#include "device/linux/AlsaInventory.h"
#include "device/linux/V4l2Device.h"
#include "device/linux/V4l2Inventory.h"

namespace qv {

std::vector<CaptureDeviceRef> LinuxDeviceSystem::devices(MediaType media) {
    std::vector<CaptureDeviceRef> devices;
    if (media == MediaType::video) {
        for (auto& camera : listV4l2Cameras(io_))
            devices.push_back(std::make_shared<V4l2Device>(io_, std::move(camera)));
    } else {
        for (auto& microphone : listAlsaMicrophones(io_)) {
            devices.push_back(std::make_shared<AlsaDevice>(std::move(microphone)));
        }
    }
    return devices;
}

AuthorizationStatus LinuxDeviceSystem::authorizationStatus(MediaType media) {
    return media == MediaType::video ? v4l2Permission(io_) : alsaPermission(io_);
}

void LinuxDeviceSystem::requestAccess(MediaType media, std::function<void(bool granted)> completion) {
    const bool granted = authorizationStatus(media) == AuthorizationStatus::authorized;
    dispatchGlobal([completion = std::move(completion), granted] { completion(granted); });
}

}  // namespace qv
