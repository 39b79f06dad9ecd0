#include "main/DeviceChoice.h"

#include "device/linux/LinuxDeviceSystem.h"
#include "device/simulated/SimulatedDeviceSystem.h"

#include <cstdlib>

namespace qv {

std::shared_ptr<DeviceSystem> makeDeviceSystem() {
    const char* simulation = std::getenv("QUORVELLE_SIMULATED_DEVICES");
    if (simulation != nullptr && *simulation != '\0') {
        return std::make_shared<SimulatedDeviceSystem>(SimulatedDeviceConfig::parse(simulation));
    }
    return std::make_shared<LinuxDeviceSystem>();
}

}  // namespace qv
