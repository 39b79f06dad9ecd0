#include "SimulatedPlayers.h"

#include "protocol/Digest.h"

#include <gtest/gtest.h>

#include <cctype>

using namespace qvtest;

namespace {

const Json noFreshFrame = {{"code", "NO_VIDEO_FRAME"},
                           {"message", "No fresh connected native preview frame is available"}};
const Json screenshotUnavailable = {
    {"code", "SCREENSHOT_UNAVAILABLE"},
    {"message", "A connected frame and remaining screenshot quota are required"}};

void connectPlayer(SimulatedHelper& helper) {
    const Json reply = helper.connect(1, false);
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
}

void disconnect(SimulatedHelper& helper) {
    helper.ok("disconnect");
    helper.waitStatus([](const Json& s) { return s["connection"] == "disconnected"; });
}

}  // namespace

TEST(Frames, LeaseKeepsItsFileAndOutlivesTheConnection) {
    SimulatedHelper helper(Json{{"video", {simVideo(1)}}});
    EXPECT_EQ(helper.error("live_frame"), noFreshFrame);
    connectPlayer(helper);
    // At once after connecting there may or may not be a published frame.
    const auto early = helper->request("live_frame");
    ASSERT_TRUE(early);
    if ((*early)["ok"] == true) {
        helper.ok("release_frame", {{"leaseId", (*early)["result"]["leaseId"]}});
    } else {
        EXPECT_EQ((*early)["error"]["code"], "NO_VIDEO_FRAME");
    }

    helper.waitFrame();
    const Json frame = helper.ok("live_frame");
    const std::string leaseId = frame["leaseId"];
    EXPECT_EQ(frame["format"], "jpeg");
    EXPECT_EQ(helper.error("live_frame"),
              (Json{{"code", "FRAME_LEASE_BUSY"},
                    {"message", "Finish the original native frame read before requesting another"}}));

    const Json mismatch = {{"code", "FRAME_LEASE_MISMATCH"},
                           {"message", "Native frame release does not match its original read"}};
    EXPECT_EQ(helper.error("release_frame", {{"leaseId", freshUuid()}}), mismatch);
    std::string upper = leaseId;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(helper.error("release_frame", {{"leaseId", upper}}), mismatch);
    const Json badId = {{"code", "INVALID_ARGUMENT"}, {"message", "A native frame lease ID is required"}};
    EXPECT_EQ(helper.error("release_frame", {{"leaseId", "lease"}}), badId);
    EXPECT_EQ(helper.error("release_frame", {{"leaseId", 7}}), badId);
    EXPECT_EQ(helper.error("release_frame"), badId);

    // Newer frames publish while the leased file stays as it was.
    helper.waitStatus([&](const Json& s) { return s["latestFrame"]["frameId"] != frame["frameId"]; });
    EXPECT_EQ(qv::sha256Hex(helper.fileText(frame["basename"])), frame["sha256"]);

    disconnect(helper);
    EXPECT_EQ(helper.error("live_frame"), noFreshFrame);
    // The preview cannot begin again while the old frame is still read; nothing changes.
    const Json idle = helper.status();
    const Json refused = helper.connect(1, false);
    EXPECT_EQ(refused["error"]["code"], "PREVIEW_BUSY");
    const Json stillIdle = helper.status();
    EXPECT_EQ(stillIdle["connection"], "disconnected");
    EXPECT_EQ(stillIdle["stateSequence"].get<int>(), idle["stateSequence"].get<int>() + 1) << "only the list";

    const int before = helper.status()["stateSequence"];
    const Json released = helper.ok("release_frame", {{"leaseId", leaseId}});
    EXPECT_EQ(released["released"], true);
    EXPECT_EQ(released["leaseId"], leaseId);
    EXPECT_EQ(released["stateSequence"].get<int>(), before + 1);
    EXPECT_EQ(helper.error("release_frame", {{"leaseId", leaseId}}), mismatch);
    EXPECT_EQ(helper.connect(1, false)["ok"], true);
}

TEST(Frames, ScreenshotIsTheFullFrameOnDisk) {
    // Larger than the preview's bound, so the preview is scaled and the screenshot is not.
    SimulatedHelper helper(Json{{"video", {simVideo(1, {{"width", 1280}, {"height", 720}, {"fps", 10}})}}});
    EXPECT_EQ(helper.error("screenshot"), screenshotUnavailable);
    connectPlayer(helper);
    const Json status = helper.waitFrame();
    ASSERT_LT(status["latestFrame"]["width"].get<int>(), 1280);

    const int before = helper.status()["stateSequence"];
    const Json shot = helper.ok("screenshot");
    EXPECT_EQ(shot["format"], "png");
    EXPECT_EQ(shot["width"], 1280);
    EXPECT_EQ(shot["height"], 720);
    EXPECT_GE(shot["stateSequence"].get<int>(), before + 1);
    const std::string bytes = helper.fileText(shot["basename"]);
    EXPECT_EQ(shot["bytes"].get<std::size_t>(), bytes.size());
    EXPECT_EQ(shot["sha256"], qv::sha256Hex(bytes));
    EXPECT_EQ(bytes.substr(1, 3), "PNG");
    EXPECT_GT(shot["frameId"].get<int>(), 0);
    EXPECT_GT(shot["sourcePTS"].get<double>(), 0.0);
}

TEST(Frames, ScreenshotQuotaSurvivesReconnects) {
    SimulatedHelper helper(Json{{"video", {simVideo(1, {{"width", 32}, {"height", 32}})}}});
    connectPlayer(helper);
    helper.waitFrame();
    for (int i = 0; i < 20; ++i) helper.ok("screenshot");
    disconnect(helper);
    EXPECT_EQ(helper.error("screenshot"), screenshotUnavailable);
    connectPlayer(helper);
    helper.waitFrame();
    for (int i = 0; i < 12; ++i) helper.ok("screenshot");
    EXPECT_EQ(helper.error("screenshot"), screenshotUnavailable);
}
