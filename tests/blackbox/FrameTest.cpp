#include "SimulatedPlayers.h"

#include "base/Digest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>

using namespace qvtest;
using ::testing::AnyOf;

TEST(Frames, LeasesAndScreenshotsKeepTheirFilesAndRulesAcrossReconnects) {
    // Larger than the preview's bound, so the preview is scaled and the screenshot is not.
    SimulatedHelper helper(Json{{"video", {simVideo(1, {{"width", 1280}, {"height", 720}, {"fps", 10}})}}});
    EXPECT_EQ(helper.error("live_frame"), failure("NO_VIDEO_FRAME"));
    EXPECT_EQ(helper.error("screenshot"), failure("SCREENSHOT_UNAVAILABLE"));
    helper.connected(1, false);
    // At once after connecting there may be no frame yet, a frame not yet published, or a published one.
    if (Json early = helper->request("live_frame").value_or(Json()); early["ok"] == true)
        helper.ok("release_frame", {{"leaseId", early["result"]["leaseId"]}});
    else
        EXPECT_THAT(early["error"], AnyOf(failure("NO_VIDEO_FRAME"),
                                          Json{{"code", "NO_VIDEO_FRAME"},
                                               {"message", "No fresh native preview frame is available"}}));

    ASSERT_LT(helper.waitFrame()["latestFrame"]["width"].get<int>(), 1280);
    const Json frame = helper.ok("live_frame");
    const std::string leaseId = frame["leaseId"];
    EXPECT_EQ(frame["format"], "jpeg");
    EXPECT_EQ(helper.error("live_frame"), failure("FRAME_LEASE_BUSY"));
    std::string upper = leaseId;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& wrong : {freshUuid(), upper})
        EXPECT_EQ(helper.error("release_frame", {{"leaseId", wrong}}), failure("FRAME_LEASE_MISMATCH"));
    for (const Json& fields : {Json{{"leaseId", "lease"}}, Json{{"leaseId", 7}}, Json::object()})
        EXPECT_EQ(helper.error("release_frame", fields),
                  (Json{{"code", "INVALID_ARGUMENT"}, {"message", "A native frame lease ID is required"}}));

    const int before = helper.status()["stateSequence"];
    const Json shot = helper.ok("screenshot");
    const std::string bytes = helper.fileText(shot["basename"]);
    EXPECT_TRUE(includes(shot, {{"format", "png"}, {"width", 1280}, {"height", 720}}));
    EXPECT_TRUE(includes(shot, {{"bytes", bytes.size()}, {"sha256", qv::sha256Hex(bytes)}}));
    EXPECT_GE(shot["stateSequence"].get<int>(), before + 1);
    EXPECT_EQ(bytes.substr(1, 3), "PNG");
    for (int i = 1; i < 20; ++i) helper.ok("screenshot");

    // Newer frames publish while the leased file stays as it was.
    helper.waitStatus([&](const Json& s) { return s["latestFrame"]["frameId"] != frame["frameId"]; });
    EXPECT_EQ(qv::sha256Hex(helper.fileText(frame["basename"])), frame["sha256"]);

    helper.disconnect();
    EXPECT_EQ(helper.error("live_frame"), failure("NO_VIDEO_FRAME"));
    EXPECT_EQ(helper.error("screenshot"), failure("SCREENSHOT_UNAVAILABLE"));
    // The preview cannot begin again while the old frame is still read; nothing changes but the list.
    const int idle = helper.status()["stateSequence"];
    EXPECT_EQ(helper.connectError(1, false)["code"], "PREVIEW_BUSY");
    EXPECT_TRUE(includes(helper.status(), {{"connection", "disconnected"}, {"stateSequence", idle + 1}}));

    EXPECT_TRUE(includes(helper.ok("release_frame", {{"leaseId", leaseId}}),
                         {{"released", true}, {"leaseId", leaseId}, {"stateSequence", idle + 2}}));
    EXPECT_EQ(helper.error("release_frame", {{"leaseId", leaseId}}), failure("FRAME_LEASE_MISMATCH"));

    // The screenshot quota of 32 survives the reconnect.
    helper.connected(1, false);
    helper.waitFrame();
    for (int i = 0; i < 12; ++i) helper.ok("screenshot");
    EXPECT_EQ(helper.error("screenshot"), failure("SCREENSHOT_UNAVAILABLE"));
}
