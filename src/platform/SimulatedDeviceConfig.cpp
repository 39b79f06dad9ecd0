#include "platform/SimulatedDeviceConfig.h"

#include "protocol/CaptureError.h"
#include "protocol/Json.h"

#include <cmath>
#include <initializer_list>
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

struct Invalid {};

[[noreturn]] void invalid() {
    throw Invalid{};
}

void onlyKeys(const Json& object, std::initializer_list<const char*> allowed) {
    if (!object.is_object()) invalid();
    for (const auto& item : object.items()) {
        bool known = false;
        for (const char* key : allowed) known = known || item.key() == key;
        if (!known) invalid();
    }
}

const Json* find(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::int64_t integer(const Json& value, std::int64_t lowest, std::int64_t highest) {
    if (value.is_number_unsigned()) {
        const auto exact = value.get<std::uint64_t>();
        if (exact > static_cast<std::uint64_t>(highest)) invalid();
        if (static_cast<std::int64_t>(exact) < lowest) invalid();
        return static_cast<std::int64_t>(exact);
    }
    if (value.is_number_integer()) {
        const auto exact = value.get<std::int64_t>();
        if (exact < lowest || exact > highest) invalid();
        return exact;
    }
    if (!value.is_number_float()) invalid();
    const double number = value.get<double>();
    // 160.0 is as good as 160; 1e300 is not a count.
    if (!std::isfinite(number) || std::trunc(number) != number) invalid();
    if (number < static_cast<double>(lowest) || number >= 9.2e18 || number > static_cast<double>(highest)) {
        invalid();
    }
    return static_cast<std::int64_t>(number);
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
    return integer(*value, 0, INT64_MAX);
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
    const Json* idValue = find(value, "id");
    const Json* nameValue = find(value, "name");
    if (idValue == nullptr || nameValue == nullptr) invalid();
    id = text(*idValue);
    name = text(*nameValue);
    if (id.empty()) invalid();
}

VideoFormat format(const Json& value) {
    onlyKeys(value, {"width", "height", "ranges"});
    const Json* width = find(value, "width");
    const Json* height = find(value, "height");
    const Json* ranges = find(value, "ranges");
    if (width == nullptr || height == nullptr || ranges == nullptr || !ranges->is_array()) invalid();
    VideoFormat result;
    result.width = static_cast<std::int32_t>(integer(*width, 0, INT32_MAX));
    result.height = static_cast<std::int32_t>(integer(*height, 0, INT32_MAX));
    result.mediaSubType = bgraSubType;
    for (const auto& range : *ranges) {
        if (!range.is_array() || range.size() != 2) invalid();
        result.frameRateRanges.push_back(
            {number(range[0], -HUGE_VAL, HUGE_VAL), number(range[1], -HUGE_VAL, HUGE_VAL)});
    }
    return result;
}

SimulatedVideoDevice videoDevice(const Json& value) {
    onlyKeys(value, {"id", "name", "width", "height", "fps", "formats", "listings", "startDelayMs",
                     "startFailure", "stallAfterFrames", "dropEvery", "resizeAfterFrames", "resizeTo",
                     "stopDelayMs", "releaseFails"});
    SimulatedVideoDevice device;
    identify(value, device.id, device.name);
    if (const Json* v = find(value, "width")) device.width = static_cast<int>(integer(*v, 0, largestSide));
    if (const Json* v = find(value, "height")) device.height = static_cast<int>(integer(*v, 0, largestSide));
    frameSize(device.width, device.height);
    if (const Json* v = find(value, "fps")) device.fps = number(*v, 1, 240);
    if (const Json* v = find(value, "formats")) {
        if (!v->is_array()) invalid();
        for (const auto& item : *v) device.formats.push_back(format(item));
    } else {
        device.formats.push_back({device.width, device.height, bgraSubType, {{device.fps, device.fps}}});
    }
    device.listings = optionalCount(find(value, "listings"));
    if (const Json* v = find(value, "startDelayMs")) device.startDelayMs = number(*v, 0, longestDelayMs);
    device.startFailure = startFailure(find(value, "startFailure"));
    device.stallAfterFrames = optionalCount(find(value, "stallAfterFrames"));
    if (const Json* v = find(value, "dropEvery")) device.dropEvery = integer(*v, 0, INT64_MAX);
    device.resizeAfterFrames = optionalCount(find(value, "resizeAfterFrames"));
    const Json* resizeTo = find(value, "resizeTo");
    if (resizeTo != nullptr && !resizeTo->is_null()) {
        if (!resizeTo->is_array() || resizeTo->size() != 2) invalid();
        device.resizeTo =
            frameSize(integer((*resizeTo)[0], 0, largestSide), integer((*resizeTo)[1], 0, largestSide));
    } else if (device.resizeAfterFrames) {
        invalid();
    }
    if (const Json* v = find(value, "stopDelayMs")) device.stopDelayMs = number(*v, 0, longestDelayMs);
    if (const Json* v = find(value, "releaseFails")) device.releaseFails = flag(*v);
    return device;
}

SimulatedAudioDevice audioDevice(const Json& value) {
    onlyKeys(value, {"id", "name", "sampleRate", "channels", "listings", "startFailure", "silent"});
    SimulatedAudioDevice device;
    identify(value, device.id, device.name);
    if (const Json* v = find(value, "sampleRate")) {
        device.sampleRate = static_cast<int>(integer(*v, 1, highestSampleRate));
    }
    if (const Json* v = find(value, "channels"))
        device.channels = static_cast<int>(integer(*v, 0, mostChannels));
    device.listings = optionalCount(find(value, "listings"));
    device.startFailure = startFailure(find(value, "startFailure"));
    if (const Json* v = find(value, "silent")) device.silent = flag(*v);
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
    onlyKeys(value, {"answerAfterMs", "grant"});
    SimulatedPermissionAnswer result;
    if (const Json* v = find(value, "answerAfterMs")) {
        if (v->is_null()) {
            result.answerAfterMs.reset();
        } else {
            result.answerAfterMs = number(*v, 0, longestDelayMs);
        }
    }
    if (const Json* v = find(value, "grant")) result.grant = flag(*v);
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
    onlyKeys(root, {"video", "audio", "permissions", "permissionRequests"});
    SimulatedDeviceConfig config;
    if (const Json* list = find(root, "video")) {
        if (!list->is_array()) invalid();
        for (const auto& item : *list) config.video.push_back(videoDevice(item));
    }
    if (const Json* list = find(root, "audio")) {
        if (!list->is_array()) invalid();
        for (const auto& item : *list) config.audio.push_back(audioDevice(item));
    }
    requireUniqueIds(config.video);
    requireUniqueIds(config.audio);
    if (const Json* permissions = find(root, "permissions")) {
        onlyKeys(*permissions, {"video", "audio"});
        if (const Json* v = find(*permissions, "video")) config.videoPermission = permission(*v);
        if (const Json* v = find(*permissions, "audio")) config.audioPermission = permission(*v);
    }
    if (const Json* requests = find(root, "permissionRequests")) {
        onlyKeys(*requests, {"video", "audio"});
        if (const Json* v = find(*requests, "video")) config.videoAnswer = answer(*v);
        if (const Json* v = find(*requests, "audio")) config.audioAnswer = answer(*v);
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
