#include "device/simulated/SimulatedDeviceSystem.h"

#include "base/Runtime.h"
#include "device/simulated/SimulatedDevice.h"

namespace qv {

SimulatedDeviceSystem::SimulatedDeviceSystem(const SimulatedDeviceConfig& config)
    : videoStatus_(config.videoPermission),
      audioStatus_(config.audioPermission),
      videoAnswer_(config.videoAnswer),
      audioAnswer_(config.audioAnswer) {
    // A session opens one player's camera and microphone: they share the clock of its start.
    const auto clock = std::make_shared<SimulatedSessionClock>(config.syncMarksMs);
    for (const auto& camera : config.video) {
        video_.push_back({std::make_shared<SimulatedDevice>(camera, clock), camera.listings});
    }
    for (const auto& microphone : config.audio) {
        audio_.push_back({std::make_shared<SimulatedDevice>(microphone, clock), microphone.listings});
    }
}

std::vector<CaptureDeviceRef> SimulatedDeviceSystem::devices(MediaType media) {
    std::lock_guard lock(mutex_);
    std::vector<CaptureDeviceRef> present;
    for (auto& entry : listed(media)) {
        if (entry.listingsLeft) {
            if (*entry.listingsLeft <= 0) continue;
            --*entry.listingsLeft;
        }
        present.push_back(entry.device);
    }
    return present;
}

AuthorizationStatus SimulatedDeviceSystem::authorizationStatus(MediaType media) {
    std::lock_guard lock(mutex_);
    return status(media);
}

void SimulatedDeviceSystem::requestAccess(MediaType media, std::function<void(bool granted)> completion) {
    std::optional<double> delayMs;
    bool grant = true;
    {
        std::lock_guard lock(mutex_);
        const AuthorizationStatus current = status(media);
        if (current != AuthorizationStatus::notDetermined) {
            const bool granted = current == AuthorizationStatus::authorized;
            dispatchGlobal([completion = std::move(completion), granted] { completion(granted); });
            return;
        }
        const auto& plan = media == MediaType::video ? videoAnswer_ : audioAnswer_;
        delayMs = plan.answerAfterMs;
        grant = plan.grant;
    }
    // No answer at all: the request stays unanswered, as with a prompt nobody responds to.
    if (!delayMs) return;
    globalAfter(*delayMs / 1000.0,
                [self = shared_from_this(), media, grant, completion = std::move(completion)] {
                    self->answer(media, grant, completion);
                });
}

void SimulatedDeviceSystem::answer(MediaType media, bool grant,
                                   const std::function<void(bool granted)>& completion) {
    bool granted = false;
    {
        std::lock_guard lock(mutex_);
        AuthorizationStatus& current = status(media);
        if (current == AuthorizationStatus::notDetermined) {
            current = grant ? AuthorizationStatus::authorized : AuthorizationStatus::denied;
        }
        granted = current == AuthorizationStatus::authorized;
    }
    completion(granted);
}

}  // namespace qv
