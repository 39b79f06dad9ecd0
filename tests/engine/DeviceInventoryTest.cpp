#include "engine/DeviceInventory.h"

#include "platform/SimulatedDeviceSystem.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

SimulatedDeviceSystem simulated(const Json& config) {
    return SimulatedDeviceSystem(SimulatedDeviceConfig::parse(config.dump()));
}

Json camera(const std::string& id, const std::string& name) {
    return Json{{"id", id}, {"name", name}};
}

TEST(DeviceInventoryTest, ACameraAndItsMicrophoneListAsOnePlayer) {
    auto devices = simulated({{"video", {camera("cam", "Quorvelle - Player 01")}},
                              {"audio", {camera("mic", "Microphone (Quorvelle - Player 01)")}}});
    const Inventory inventory = takeInventory(devices);
    const Json& listing = inventory.listing;
    ASSERT_EQ(listing["videoDevices"].size(), 1u);
    ASSERT_EQ(listing["audioDevices"].size(), 1u);
    EXPECT_EQ(listing["videoDevices"][0],
              (Json{{"deviceId", "cam"},
                    {"label", "Quorvelle - Player 01"},
                    {"player", "01"},
                    {"formats", {{{"width", 160}, {"height", 144}, {"minFps", 60.0}, {"maxFps", 60.0}}}}}));
    EXPECT_EQ(listing["audioDevices"][0],
              (Json{{"deviceId", "mic"}, {"label", "Microphone (Quorvelle - Player 01)"}, {"player", "01"}}));
    const Json none{{"total", 1}, {"unlabeled", 0}, {"unsupported", 0}, {"omitted", 0}};
    EXPECT_EQ(listing["counts"], (Json{{"video", none}, {"audio", none}}));
    EXPECT_EQ(inventory.video.size(), 1u);
    EXPECT_EQ(inventory.audio.size(), 1u);
}

TEST(DeviceInventoryTest, CountsSeparateOmittedUnsupportedAndUnlabeled) {
    Json cameras = Json::array();
    for (int i = 1; i <= 5; ++i)
        cameras.push_back(camera("cam" + std::to_string(i), "Quorvelle - Player 0" + std::to_string(i)));
    cameras.push_back(camera("facetime", "FaceTime HD Camera"));
    cameras.push_back(camera("blank", ""));
    // A microphone named like a camera is judged by that name.
    auto devices = simulated(
        {{"video", cameras},
         {"audio", {camera("m1", "Quorvelle - Player 02"), camera("m2", "MacBook Pro Microphone")}}});
    const Inventory inventory = takeInventory(devices);
    EXPECT_EQ(inventory.listing["counts"]["video"],
              (Json{{"total", 7}, {"unlabeled", 1}, {"unsupported", 1}, {"omitted", 1}}));
    EXPECT_EQ(inventory.listing["counts"]["audio"],
              (Json{{"total", 2}, {"unlabeled", 0}, {"unsupported", 1}, {"omitted", 0}}));
    ASSERT_EQ(inventory.video.size(), 4u);
    EXPECT_EQ(inventory.video[3]->uniqueId(), "cam4");
    EXPECT_EQ(inventory.listing["videoDevices"].size(), 4u);
    EXPECT_EQ(inventory.listing["audioDevices"][0]["player"], "02");
}

TEST(DeviceInventoryTest, FormatEntriesAreCappedPerFormatAndPerDevice) {
    Json tenRanges = Json::array();
    for (int i = 1; i <= 10; ++i) tenRanges.push_back({i, 10 * i});
    Json formats = Json::array();
    formats.push_back({{"width", 640}, {"height", 480}, {"ranges", tenRanges}});
    formats.push_back({{"width", 320}, {"height", 240}, {"ranges", Json::array()}});
    for (int i = 0; i < 9; ++i)
        formats.push_back({{"width", 100 + i}, {"height", 50}, {"ranges", tenRanges}});
    Json one = camera("cam", "Quorvelle - Player 01");
    one["formats"] = Json::array({formats[0], formats[1]});
    Json many = camera("cam2", "Quorvelle - Player 02");
    many["formats"] = formats;
    auto devices = simulated({{"video", {one, many}}});
    const Inventory inventory = takeInventory(devices);

    const Json& first = inventory.listing["videoDevices"][0]["formats"];
    ASSERT_EQ(first.size(), 8u);
    EXPECT_EQ(first[7], (Json{{"width", 640}, {"height", 480}, {"minFps", 8.0}, {"maxFps", 80.0}}));

    const Json& second = inventory.listing["videoDevices"][1]["formats"];
    ASSERT_EQ(second.size(), 64u);
    // 8 from the first format, none from the empty one, then 8 from each later one.
    EXPECT_EQ(second[8]["width"], 100);
    EXPECT_EQ(second[63], (Json{{"width", 106}, {"height", 50}, {"minFps", 8.0}, {"maxFps", 80.0}}));
}

TEST(DeviceInventoryTest, DeviceListCountsAsAnEnumeration) {
    Json cam = camera("cam", "Quorvelle - Player 01");
    cam["listings"] = 2;
    auto devices = simulated({{"video", {cam, camera("other", "Quorvelle - Player 02")}}});
    EXPECT_EQ(takeInventory(devices).video.size(), 2u);
    EXPECT_EQ(deviceList(devices, MediaType::video).size(), 2u);
    const auto left = deviceList(devices, MediaType::video);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0]->uniqueId(), "other");
    // Enumerating one media type leaves the other's listings alone.
    EXPECT_TRUE(deviceList(devices, MediaType::audio).empty());
}

TEST(DeviceInventoryTest, PermissionWords) {
    EXPECT_EQ(permissionWord(AuthorizationStatus::notDetermined), "not_determined");
    EXPECT_EQ(permissionWord(AuthorizationStatus::restricted), "restricted");
    EXPECT_EQ(permissionWord(AuthorizationStatus::denied), "denied");
    EXPECT_EQ(permissionWord(AuthorizationStatus::authorized), "authorized");
    EXPECT_EQ(permissionWord(static_cast<AuthorizationStatus>(7)), "unknown");
    auto devices = simulated({{"permissions", {{"video", "denied"}, {"audio", "not_determined"}}}});
    EXPECT_EQ(readPermissions(devices), (Json{{"video", "denied"}, {"audio", "not_determined"}}));
}

TEST(DeviceInventoryTest, RequestedMediaAcceptsOnlyTheTwoWords) {
    EXPECT_EQ(requestedMedia(Json{{"media", "video"}}), MediaType::video);
    EXPECT_EQ(requestedMedia(Json{{"media", "audio"}}), MediaType::audio);
    for (const Json& bad : {Json::object(), Json{{"media", nullptr}}, Json{{"media", "Video"}},
                            Json{{"media", 1}}, Json{{"media", Json::array({"video"})}}}) {
        EXPECT_FALSE(requestedMedia(bad).has_value()) << bad.dump();
    }
}

}  // namespace
}  // namespace qv
