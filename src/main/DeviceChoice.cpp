#include "main/DeviceChoice.h"

#include "device/linux/LinuxDeviceSystem.h"
#include "device/pipewire/PipeWireDeviceSystem.h"
#include "device/simulated/SimulatedDeviceSystem.h"

#include <cstdlib>
#include <string>

namespace qv {

namespace {

// How long start-up waits for the PipeWire daemon to answer before it uses the devices directly.
constexpr double probeSeconds = 1.0;
// The session bus may start the portal when it is first asked for; that takes a moment.
constexpr double portalSeconds = 3.0;

}  // namespace

std::shared_ptr<DeviceSystem> makeDeviceSystem() {
    const char* simulation = std::getenv("QUORVELLE_SIMULATED_DEVICES");
    if (simulation != nullptr && *simulation != '\0') {
        return std::make_shared<SimulatedDeviceSystem>(SimulatedDeviceConfig::parse(simulation));
    }
    const char* forced = std::getenv("QUORVELLE_DEVICE_BACKEND");
    const std::string backend = forced != nullptr ? forced : "";
    if (backend == "pipewire" || (backend != "v4l2" && PipeWireDeviceSystem::available(probeSeconds))) {
        // A sandbox reaches cameras only through the camera portal; QUORVELLE_CAMERA_PORTAL=1 uses
        // it outside one too.
        const char* portal = std::getenv("QUORVELLE_CAMERA_PORTAL");
        const bool wanted = sandboxed() || (portal != nullptr && std::string(portal) == "1");
        return std::make_shared<PipeWireDeviceSystem>(wanted ? CameraPortal::connect(portalSeconds)
                                                             : nullptr);
    }
    return std::make_shared<LinuxDeviceSystem>();
}

}  // namespace qv
