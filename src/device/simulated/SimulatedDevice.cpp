#include "device/simulated/SimulatedDevice.h"

#include "base/CaptureError.h"
#include "device/simulated/SimulatedAudioInput.h"
#include "device/simulated/SimulatedVideoInput.h"

#include <cerrno>

namespace qv {

SimulatedDevice::SimulatedDevice(SimulatedVideoDevice camera, std::shared_ptr<SimulatedSessionClock> clock)
    : config_(camera),
      clock_(std::move(clock)),
      id_(camera.id),
      name_(camera.name),
      formats_(camera.formats) {}

SimulatedDevice::SimulatedDevice(SimulatedAudioDevice microphone,
                                 std::shared_ptr<SimulatedSessionClock> clock)
    : config_(microphone), clock_(std::move(clock)), id_(microphone.id), name_(microphone.name) {}

MediaType SimulatedDevice::mediaType() const {
    return std::holds_alternative<SimulatedVideoDevice>(config_) ? MediaType::video : MediaType::audio;
}

std::optional<VideoFormat> SimulatedDevice::activeFormat() const {
    if (formats_.empty()) return std::nullopt;
    return formats_.front();
}

double SimulatedDevice::activeMinFrameDuration() const {
    const auto* camera = std::get_if<SimulatedVideoDevice>(&config_);
    return camera ? 1.0 / camera->fps : 0.0;
}

double SimulatedDevice::activeMaxFrameDuration() const {
    return activeMinFrameDuration();
}

std::shared_ptr<CaptureInput> SimulatedDevice::createInput() {
    if (const auto* camera = std::get_if<SimulatedVideoDevice>(&config_)) {
        if (camera->startFailure == SimulatedStartFailure::input) {
            throw PlatformError("V4L2", EBUSY, "Simulated camera cannot be opened");
        }
        return std::make_shared<SimulatedVideoInput>(shared_from_this(), *camera, clock_);
    }
    const auto& microphone = std::get<SimulatedAudioDevice>(config_);
    if (microphone.startFailure == SimulatedStartFailure::input) {
        throw PlatformError("ALSA", -EBUSY, "Simulated microphone cannot be opened");
    }
    return std::make_shared<SimulatedAudioInput>(shared_from_this(), microphone, clock_);
}

}  // namespace qv
