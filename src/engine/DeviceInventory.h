#pragma once

#include "base/Json.h"
#include "device/DeviceSystem.h"

#include <optional>
#include <string>
#include <vector>

namespace qv {

// Caps of one inventory: devices per media type, format entries per camera, ranges per format.
inline constexpr std::size_t maxInventoryDevices = 4;
inline constexpr std::size_t maxFormatEntries = 64;
inline constexpr std::size_t maxRangesPerFormat = 8;

// "not_determined", "restricted", "denied", "authorized" or "unknown".
std::string permissionWord(AuthorizationStatus status);
// The permission word of one media type.
std::string authorization(DeviceSystem& devices, MediaType media);
// The permissions record {"video", "audio"}; the camera is read first.
Json readPermissions(DeviceSystem& devices);

// The devices among `all` whose names give a player number, in order.
std::vector<CaptureDeviceRef> matchedDevices(const std::vector<CaptureDeviceRef>& all, MediaType media);
// One enumeration of the attached players of a media type.
std::vector<CaptureDeviceRef> deviceList(DeviceSystem& devices, MediaType media);
// {"total", "unlabeled", "unsupported", "omitted"}.
Json counts(const std::vector<CaptureDeviceRef>& all, const std::vector<CaptureDeviceRef>& matched);

// {"width", "height", "minFps", "maxFps"} per frame-rate range, capped.
Json formatEntries(const CaptureDevice& camera);
Json deviceEntry(const CaptureDevice& device);

// One "list": the players to remember and the listing to report.
struct Inventory {
    std::vector<CaptureDeviceRef> video;
    std::vector<CaptureDeviceRef> audio;
    // {"counts", "videoDevices", "audioDevices"}.
    Json listing;
};
Inventory takeInventory(DeviceSystem& devices);

// The media type a request names in "media"; none when missing or not "video" or "audio".
std::optional<MediaType> requestedMedia(const Json& request);

}  // namespace qv
