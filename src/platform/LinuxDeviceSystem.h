#pragma once

#include "platform/DeviceSystem.h"

namespace qv {

// The real cameras and microphones (V4L2 and ALSA). Nothing on Linux prompts for device access,
// so a request for access is answered at once.
class LinuxDeviceSystem final : public DeviceSystem {
public:
    std::vector<CaptureDeviceRef> devices(MediaType media) override;
    AuthorizationStatus authorizationStatus(MediaType media) override;
    void requestAccess(MediaType media, std::function<void(bool granted)> completion) override;
};

}  // namespace qv
