#pragma once

#include "device/CaptureDevice.h"

#include <functional>
#include <memory>
#include <vector>

namespace qv {

// Whether the helper may use a media type. The values are the ones the host's words map from;
// a device layer may report others, which read as unknown.
enum class AuthorizationStatus : int { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

// The device layer: which cameras and microphones are attached and whether they may be used.
// Safe to call from any thread.
class DeviceSystem {
public:
    virtual ~DeviceSystem() = default;

    // One enumeration of the attached devices of a media type, in the device layer's order.
    virtual std::vector<CaptureDeviceRef> devices(MediaType media) = 0;
    virtual AuthorizationStatus authorizationStatus(MediaType media) = 0;
    // Asks for access to a media type. `completion` runs at most once, on any thread, with
    // whether access was granted; it may never run if no answer comes.
    virtual void requestAccess(MediaType media, std::function<void(bool granted)> completion) = 0;
};

}  // namespace qv
