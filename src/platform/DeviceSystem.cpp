#include "platform/DeviceSystem.h"

#include "platform/LinuxDeviceSystem.h"
#include "platform/SimulatedDeviceSystem.h"

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
