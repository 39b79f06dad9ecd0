#pragma once

#include "device/DeviceSystem.h"
#include "device/linux/DeviceIo.h"

namespace qv {

// The real cameras and microphones (V4L2 and ALSA). Nothing on Linux prompts for device access:
// a media type is authorized when its device nodes open and denied when one refuses for lack of
// permission, so a request for access is answered at once.
class LinuxDeviceSystem final : public DeviceSystem {
public:
    // Video nodes and sysfs are reached through `io`, so that tests can put a fake kernel there.
    explicit LinuxDeviceSystem(DeviceIo& io = systemDeviceIo()) : io_(io) {}

    std::vector<CaptureDeviceRef> devices(MediaType media) override;
    AuthorizationStatus authorizationStatus(MediaType media) override;
    void requestAccess(MediaType media, std::function<void(bool granted)> completion) override;

private:
    DeviceIo& io_;
};

}  // namespace qv
