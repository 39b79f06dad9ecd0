#pragma once

#include "device/DeviceSystem.h"

#include <memory>

namespace qv {

// The device layer of the protocol mode: the simulated players when QUORVELLE_SIMULATED_DEVICES
// is set and not empty, else the real devices. Throws CaptureError "SIMULATION_CONFIG" when the
// variable holds no valid simulation.
std::shared_ptr<DeviceSystem> makeDeviceSystem();

}  // namespace qv
