#include "device/simulated/SimulatedDeviceConfig.h"

#include "base/CaptureError.h"
#include "base/Json.h"
#include "protocol/Validation.h"

#include <cmath>
#include <set>

namespace qv {

namespace {

// Generous ceilings that keep a mistyped value from exhausting the machine.
constexpr std::int64_t largestSide = 16384;
constexpr std::int64_t largestFramePixels = 33'554'432;
constexpr double longestDelayMs = 86'400'000;
constexpr std::int64_t highestSampleRate = 1'000'000;
constexpr std::int64_t mostChannels = 64;
constexpr std::uint32_t bgraSubType = 0x42475241;
constexpr double largestClockPpm = 5000;
// A mark's tone burst must end well before the next mark begins.
constexpr double shortestMarkPeriodMs = 100;

struct Invalid {};

[[noreturn]] void invalid() {
    throw Invalid{};
}

double number(const Json& value, double lowest, double highest) {
    if (!value.is_number()) invalid();
    const double result = value.get<double>();
    if (!std::isfinite(result) || result < lowest || result > highest) invalid();
    return result;
}

std::string text(const Json& value) {
    if (!value.is_string()) invalid();
    return value.get<std::string>();
}

bool flag(const Json& value) {
    if (!value.is_boolean()) invalid();
    return value.get<bool>();
}

std::optional<std::int64_t> optionalCount(const Json* value) {
    if (value == nullptr || value->is_null()) return std::nullopt;
    return integer(value, 0, INT64_MAX);
}

SimulatedStartFailure startFailure(const Json* value) {
    if (value == nullptr || value->is_null()) return SimulatedStartFailure::none;
    const std::string word = text(*value);
    if (word == "input") return SimulatedStartFailure::input;
    if (word == "start") return SimulatedStartFailure::start;
    invalid();
}

std::pair<int, int> frameSize(std::int64_t width, std::int64_t height) {
    if (width * height > largestFramePixels) invalid();
    return {static_cast<int>(width), static_cast<int>(height)};
}

// The required "id" (not empty) and "name" (may be empty) of a device.
void identify(const Json& value, std::string& id, std::string& name) {
    const Json* idValue = field(value, "id");
    const Json* nameValue = field(value, "name");
    if (idValue == nullptr || nameValue == nullptr) invalid();
    id = text(*idValue);
    name = text(*nameValue);
    if (id.empty()) invalid();
}

VideoFormat format(const Json& value) {
    exactKeys(value, {"width", "height", "ranges"});
    const Json* width = field(value, "width");
    const Json* height = field(value, "height");
    const Json* ranges = field(value, "ranges");
    if (width == nullptr || height == nullptr || ranges == nullptr || !ranges->is_array()) invalid();
    VideoFormat result;
    result.width = static_cast<std::int32_t>(integer(width, 0, INT32_MAX));
    result.height = static_cast<std::int32_t>(integer(height, 0, INT32_MAX));
    result.mediaSubType = bgraSubType;
    for (const auto& range : *ranges) {
        if (!range.is_array() || range.size() != 2) invalid();
        result.frameRateRanges.push_back(
            {number(range[0], -HUGE_VAL, HUGE_VAL), number(range[1], -HUGE_VAL, HUGE_VAL)});
    }
    return result;
}

SimulatedVideoDevice videoDevice(const Json& value) {
    exactKeys(value, {"id", "name", "width", "height", "fps", "formats", "listings", "startDelayMs",
                      "startFailure", "stallAfterFrames", "dropEvery", "resizeAfterFrames", "resizeTo",
                      "stopDelayMs", "releaseFails"});
    SimulatedVideoDevice device;
    identify(value, device.id, device.name);
    if (const Json* v = field(value, "width")) device.width = static_cast<int>(integer(v, 0, largestSide));
    if (const Json* v = field(value, "height")) device.height = static_cast<int>(integer(v, 0, largestSide));
    frameSize(device.width, device.height);
    if (const Json* v = field(value, "fps")) device.fps = number(*v, 1, 240);
    if (const Json* v = field(value, "formats")) {
        if (!v->is_array()) invalid();
        for (const auto& item : *v) device.formats.push_back(format(item));
    } else {
        device.formats.push_back({device.width, device.height, bgraSubType, {{device.fps, device.fps}}});
    }
    device.listings = optionalCount(field(value, "listings"));
    if (const Json* v = field(value, "startDelayMs")) device.startDelayMs = number(*v, 0, longestDelayMs);
    device.startFailure = startFailure(field(value, "startFailure"));
    device.stallAfterFrames = optionalCount(field(value, "stallAfterFrames"));
    if (const Json* v = field(value, "dropEvery")) device.dropEvery = integer(v, 0, INT64_MAX);
    device.resizeAfterFrames = optionalCount(field(value, "resizeAfterFrames"));
    const Json* resizeTo = field(value, "resizeTo");
    if (resizeTo != nullptr && !resizeTo->is_null()) {
        if (!resizeTo->is_array() || resizeTo->size() != 2) invalid();
        device.resizeTo =
            frameSize(integer(&(*resizeTo)[0], 0, largestSide), integer(&(*resizeTo)[1], 0, largestSide));
    } else if (device.resizeAfterFrames) {
        invalid();
    }
    if (const Json* v = field(value, "stopDelayMs")) device.stopDelayMs = number(*v, 0, longestDelayMs);
    if (const Json* v = field(value, "releaseFails")) device.releaseFails = flag(*v);
    return device;
}

SimulatedAudioDevice audioDevice(const Json& value) {
    exactKeys(value,
              {"id", "name", "sampleRate", "channels", "listings", "startFailure", "silent", "clockPpm"});
    SimulatedAudioDevice device;
    identify(value, device.id, device.name);
    if (const Json* v = field(value, "sampleRate")) {
        device.sampleRate = static_cast<int>(integer(v, 1, highestSampleRate));
    }
    if (const Json* v = field(value, "channels"))
        device.channels = static_cast<int>(integer(v, 0, mostChannels));
    device.listings = optionalCount(field(value, "listings"));
    device.startFailure = startFailure(field(value, "startFailure"));
    if (const Json* v = field(value, "silent")) device.silent = flag(*v);
    if (const Json* v = field(value, "clockPpm"))
        device.clockPpm = number(*v, -largestClockPpm, largestClockPpm);
    return device;
}

AuthorizationStatus permission(const Json& value) {
    const std::string word = text(value);
    if (word == "not_determined") return AuthorizationStatus::notDetermined;
    if (word == "restricted") return AuthorizationStatus::restricted;
    if (word == "denied") return AuthorizationStatus::denied;
    if (word == "authorized") return AuthorizationStatus::authorized;
    invalid();
}

SimulatedPermissionAnswer answer(const Json& value) {
    exactKeys(value, {"answerAfterMs", "grant"});
    SimulatedPermissionAnswer result;
    if (const Json* v = field(value, "answerAfterMs")) {
        if (v->is_null()) {
            result.answerAfterMs.reset();
        } else {
            result.answerAfterMs = number(*v, 0, longestDelayMs);
        }
    }
    if (const Json* v = field(value, "grant")) result.grant = flag(*v);
    return result;
}

template <typename Device>
void requireUniqueIds(const std::vector<Device>& devices) {
    std::set<std::string> seen;
    for (const auto& device : devices) {
        if (!seen.insert(device.id).second) invalid();
    }
}

SimulatedDeviceConfig parseValue(const Json& root) {
    exactKeys(root, {"video", "audio", "permissions", "permissionRequests", "syncMarks"});
    SimulatedDeviceConfig config;
    if (const Json* list = field(root, "video")) {
        if (!list->is_array()) invalid();
        for (const auto& item : *list) config.video.push_back(videoDevice(item));
    }
    if (const Json* list = field(root, "audio")) {
        if (!list->is_array()) invalid();
        for (const auto& item : *list) config.audio.push_back(audioDevice(item));
    }
    requireUniqueIds(config.video);
    requireUniqueIds(config.audio);
    if (const Json* permissions = field(root, "permissions")) {
        exactKeys(*permissions, {"video", "audio"});
        if (const Json* v = field(*permissions, "video")) config.videoPermission = permission(*v);
        if (const Json* v = field(*permissions, "audio")) config.audioPermission = permission(*v);
    }
    if (const Json* requests = field(root, "permissionRequests")) {
        exactKeys(*requests, {"video", "audio"});
        if (const Json* v = field(*requests, "video")) config.videoAnswer = answer(*v);
        if (const Json* v = field(*requests, "audio")) config.audioAnswer = answer(*v);
    }
    if (const Json* v = field(root, "syncMarks"); v != nullptr && !v->is_null()) {
        config.syncMarksMs = number(*v, shortestMarkPeriodMs, longestDelayMs);
    }
    return config;
}

}  // namespace

SimulatedDeviceConfig SimulatedDeviceConfig::parse(std::string_view text) {
    try {
        const Json root = Json::parse(text.begin(), text.end());
        return parseValue(root);
    } catch (...) {
        throw CaptureError("SIMULATION_CONFIG", "Simulated device configuration is invalid");
    }
}

}  // namespace qv
