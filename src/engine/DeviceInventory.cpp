#include "engine/DeviceInventory.h"

#include "engine/PlayerName.h"

#include <algorithm>

namespace qv {

std::string permissionWord(AuthorizationStatus status) {
    switch (status) {
        case AuthorizationStatus::notDetermined:
            return "not_determined";
        case AuthorizationStatus::restricted:
            return "restricted";
        case AuthorizationStatus::denied:
            return "denied";
        case AuthorizationStatus::authorized:
            return "authorized";
    }
    return "unknown";
}

std::string authorization(DeviceSystem& devices, MediaType media) {
    return permissionWord(devices.authorizationStatus(media));
}

Json readPermissions(DeviceSystem& devices) {
    Json record = Json::object();
    record["video"] = authorization(devices, MediaType::video);
    record["audio"] = authorization(devices, MediaType::audio);
    return record;
}

std::vector<CaptureDeviceRef> matchedDevices(const std::vector<CaptureDeviceRef>& all, MediaType media) {
    std::vector<CaptureDeviceRef> matched;
    std::copy_if(all.begin(), all.end(), std::back_inserter(matched),
                 [media](const CaptureDeviceRef& device) {
                     return player(device->localizedName(), media == MediaType::audio).has_value();
                 });
    return matched;
}

std::vector<CaptureDeviceRef> deviceList(DeviceSystem& devices, MediaType media) {
    return matchedDevices(devices.devices(media), media);
}

Json counts(const std::vector<CaptureDeviceRef>& all, const std::vector<CaptureDeviceRef>& matched) {
    const auto total = static_cast<std::int64_t>(all.size());
    const auto unlabeled =
        static_cast<std::int64_t>(std::count_if(all.begin(), all.end(), [](const CaptureDeviceRef& device) {
            return device->localizedName().empty();
        }));
    const auto matchedCount = static_cast<std::int64_t>(matched.size());
    const auto cap = static_cast<std::int64_t>(maxInventoryDevices);
    return Json{{"total", total},
                {"unlabeled", unlabeled},
                {"unsupported", total - unlabeled - matchedCount},
                {"omitted", std::max<std::int64_t>(matchedCount - cap, 0)}};
}

Json formatEntries(const CaptureDevice& camera) {
    Json entries = Json::array();
    const auto& formats = camera.formats();
    const std::size_t formatCount = std::min(formats.size(), maxFormatEntries);
    for (std::size_t f = 0; f < formatCount && entries.size() < maxFormatEntries; ++f) {
        const auto& format = formats[f];
        const std::size_t rangeCount = std::min(format.frameRateRanges.size(), maxRangesPerFormat);
        for (std::size_t r = 0; r < rangeCount && entries.size() < maxFormatEntries; ++r) {
            entries.push_back(Json{{"width", format.width},
                                   {"height", format.height},
                                   {"minFps", format.frameRateRanges[r].minFrameRate},
                                   {"maxFps", format.frameRateRanges[r].maxFrameRate}});
        }
    }
    return entries;
}

Json deviceEntry(const CaptureDevice& device) {
    const bool audio = device.mediaType() == MediaType::audio;
    Json entry{{"deviceId", device.uniqueId()}, {"label", device.localizedName()}};
    const auto number = player(device.localizedName(), audio);
    entry["player"] = number ? Json(*number) : Json(nullptr);
    if (!audio) entry["formats"] = formatEntries(device);
    return entry;
}

Inventory takeInventory(DeviceSystem& devices) {
    const auto allVideo = devices.devices(MediaType::video);
    const auto allAudio = devices.devices(MediaType::audio);
    const auto matchedVideo = matchedDevices(allVideo, MediaType::video);
    const auto matchedAudio = matchedDevices(allAudio, MediaType::audio);

    Inventory inventory;
    const auto firstFew = [](const std::vector<CaptureDeviceRef>& matched) {
        const auto count = static_cast<std::ptrdiff_t>(std::min(matched.size(), maxInventoryDevices));
        return std::vector<CaptureDeviceRef>(matched.begin(), matched.begin() + count);
    };
    inventory.video = firstFew(matchedVideo);
    inventory.audio = firstFew(matchedAudio);

    Json videoEntries = Json::array();
    for (const auto& device : inventory.video) videoEntries.push_back(deviceEntry(*device));
    Json audioEntries = Json::array();
    for (const auto& device : inventory.audio) audioEntries.push_back(deviceEntry(*device));
    inventory.listing = Json{{"counts", Json{{"video", counts(allVideo, matchedVideo)},
                                             {"audio", counts(allAudio, matchedAudio)}}},
                             {"videoDevices", std::move(videoEntries)},
                             {"audioDevices", std::move(audioEntries)}};
    return inventory;
}

std::optional<MediaType> requestedMedia(const Json& request) {
    const auto found = request.find("media");
    if (found == request.end() || !found->is_string()) return std::nullopt;
    const auto& word = found->get_ref<const std::string&>();
    if (word == "video") return MediaType::video;
    if (word == "audio") return MediaType::audio;
    return std::nullopt;
}

}  // namespace qv
