#pragma once

#include "device/DeviceSystem.h"

#include <memory>

namespace qv {

// The device layer of the protocol mode: the simulated players when QUORVELLE_SIMULATED_DEVICES
// is set and not empty, else the real devices: through PipeWire when its daemon answers, else
// V4L2 and ALSA directly. QUORVELLE_DEVICE_BACKEND set to "pipewire" or "v4l2" forces one; any
// other value chooses as if it were unset. Inside a Flatpak sandbox, or with
// QUORVELLE_CAMERA_PORTAL set to "1", PipeWire cameras go through the camera portal when it is
// there. Throws CaptureError "SIMULATION_CONFIG" when the variable holds no valid simulation.
std::shared_ptr<DeviceSystem> makeDeviceSystem();

}  // namespace qv
