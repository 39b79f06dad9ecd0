#pragma once

#include "device/DeviceSystem.h"
#include "device/simulated/SimulatedDeviceConfig.h"

#include <mutex>

namespace qv {

// The simulated players: devices that come and go after a set number of enumerations, and
// permissions that a request answers after a set delay, or never.
class SimulatedDeviceSystem final : public DeviceSystem,
                                    public std::enable_shared_from_this<SimulatedDeviceSystem> {
public:
    explicit SimulatedDeviceSystem(const SimulatedDeviceConfig& config);

    std::vector<CaptureDeviceRef> devices(MediaType media) override;
    AuthorizationStatus authorizationStatus(MediaType media) override;
    void requestAccess(MediaType media, std::function<void(bool granted)> completion) override;

private:
    struct Listed {
        CaptureDeviceRef device;
        std::optional<std::int64_t> listingsLeft;
    };

    std::vector<Listed>& listed(MediaType media) { return media == MediaType::video ? video_ : audio_; }
    AuthorizationStatus& status(MediaType media) {
        return media == MediaType::video ? videoStatus_ : audioStatus_;
    }
    void answer(MediaType media, bool grant, const std::function<void(bool granted)>& completion);

    std::mutex mutex_;
    std::vector<Listed> video_;
    std::vector<Listed> audio_;
    AuthorizationStatus videoStatus_;
    AuthorizationStatus audioStatus_;
    SimulatedPermissionAnswer videoAnswer_;
    SimulatedPermissionAnswer audioAnswer_;
};

}  // namespace qv
