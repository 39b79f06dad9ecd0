#pragma once

#include "device/CaptureDevice.h"
#include "device/DeviceSystem.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv {

// What a simulated device does when a session opens or starts it.
enum class SimulatedStartFailure { none, input, start };

struct SimulatedVideoDevice {
    std::string id;
    std::string name;
    int width = 160;
    int height = 144;
    double fps = 60;
    std::vector<VideoFormat> formats;
    // Enumerations the device is present in; none: always.
    std::optional<std::int64_t> listings;
    double startDelayMs = 0;
    SimulatedStartFailure startFailure = SimulatedStartFailure::none;
    std::optional<std::int64_t> stallAfterFrames;
    std::int64_t dropEvery = 0;
    std::optional<std::int64_t> resizeAfterFrames;
    std::pair<int, int> resizeTo{0, 0};
    double stopDelayMs = 0;
    bool releaseFails = false;
};

struct SimulatedAudioDevice {
    std::string id;
    std::string name;
    int sampleRate = 48000;
    int channels = 1;
    std::optional<std::int64_t> listings;
    SimulatedStartFailure startFailure = SimulatedStartFailure::none;
    bool silent = false;
    // How many parts per million the microphone's sample clock runs fast (negative: slow).
    double clockPpm = 0;
};

// How a request for access to an undetermined media type is answered.
struct SimulatedPermissionAnswer {
    // None: the answer never comes.
    std::optional<double> answerAfterMs = 0.0;
    bool grant = true;
};

// The simulated players, as the host describes them in QUORVELLE_SIMULATED_DEVICES.
struct SimulatedDeviceConfig {
    std::vector<SimulatedVideoDevice> video;
    std::vector<SimulatedAudioDevice> audio;
    AuthorizationStatus videoPermission = AuthorizationStatus::authorized;
    AuthorizationStatus audioPermission = AuthorizationStatus::authorized;
    SimulatedPermissionAnswer videoAnswer;
    SimulatedPermissionAnswer audioAnswer;
    // Period of the sync marks (a white frame and a tone burst at the same instant); none: no marks.
    std::optional<double> syncMarksMs;

    // Throws CaptureError "SIMULATION_CONFIG" for anything but a valid description.
    static SimulatedDeviceConfig parse(std::string_view text);
};

}  // namespace qv
