// The helper against a real PipeWire daemon and WirePlumber, with a test player published on it.

#include "PipeWireStack.h"
#include "SimulatedPlayers.h"

#include "base/Digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

// The list entries of the test player's camera and microphone, without their ids.
const Json camera = {{"formats", {{{"height", 144}, {"maxFps", 60.0}, {"minFps", 60.0}, {"width", 160}}}},
                     {"label", "Quorvelle - Player 01"},
                     {"player", "01"}};
const Json microphone = {{"label", "Microphone (Quorvelle - Player 01)"}, {"player", "01"}};

// List entries without their "deviceId".
Json withoutIds(Json entries) {
    for (auto& entry : entries) entry.erase("deviceId");
    return entries;
}

// The scratch directory the helpers of this file make their session directories in.
const TempDir& helperTmp() {
    static TempDir dir;
    return dir;
}

// A helper in protocol mode on the stack, with `backend` forced (none: chosen by the helper).
class RealHelper {
public:
    RealHelper(const PipeWireStack& stack, const std::string& backend = "pipewire", bool portal = false,
               const std::vector<std::string>& launcher = {})
        : process_({"--stdio"}, environment(stack, backend, portal), launcher),
          sessionDir_(process_.readEvent("ready", 20.0).value_or(Json::object()).value("sessionDir", "")) {}
    ~RealHelper() { EXPECT_EQ(process_.errorText(), ""); }

    HelperProcess* operator->() { return &process_; }
    const std::string& sessionDir() const { return sessionDir_; }

    Json ok(const std::string& action, const Json& fields = Json::object(), double timeout = 20.0) {
        const Json reply = process_.request(action, fields, timeout).value_or(Json());
        EXPECT_EQ(reply.value("ok", Json()), true) << action << ": " << reply.dump();
        return reply.value("result", Json::object());
    }

    // Lists, connects to the camera (and microphone) and waits for a few frames (and samples).
    void connect(bool withAudio) {
        const Json list = ok("list");
        Json selection = {{"videoDeviceId", list["videoDevices"][0]["deviceId"]}};
        if (withAudio) selection["audioDeviceId"] = list["audioDevices"][0]["deviceId"];
        EXPECT_EQ(
            ok("connect", {{"inventoryId", list["inventoryId"]}, {"selection", selection}})["connection"],
            "connected");
        process_.waitStatus(
            [&](const Json& s) {
                return s["source"].is_object() && s["source"]["videoSamples"].get<int>() > 3 &&
                       (!withAudio || s["source"]["audioSamples"].get<int>() > 3);
            },
            20.0);
    }

private:
    static std::map<std::string, std::string> environment(const PipeWireStack& stack,
                                                          const std::string& backend, bool portal) {
        auto env = stack.env();
        env["TMPDIR"] = helperTmp().path();
        env["QUORVELLE_SIMULATED_DEVICES"] = "";
        env["QUORVELLE_DEVICE_BACKEND"] = backend;
        env["QUORVELLE_CAMERA_PORTAL"] = portal ? "1" : "";
        return env;
    }

    HelperProcess process_;
    std::string sessionDir_;
};

// ffprobe's count of the video frames in a file, and its streams' codecs.
std::pair<int, std::string> contents(const std::string& path) {
    const std::string file = " '" + path + "' ";
    const int frames =
        std::atoi(shellOutput("ffprobe" + file + "-v error -count_frames -select_streams v:0 " +
                              "-show_entries stream=nb_read_frames -of csv=p=0 2>/dev/null")
                      .c_str());
    const std::string codecs =
        shellOutput("ffprobe" + file + "-v error -show_entries stream=codec_name -of csv=p=0 2>/dev/null");
    return {frames, codecs};
}

#define REQUIRE_STACK(stack) \
    if (!(stack).running()) GTEST_SKIP() << "PipeWire and WirePlumber could not be started here"

}  // namespace

TEST(PipeWire, ListsConnectsRecordsAndClosesThroughPipeWire) {
    PipeWireStack stack;
    REQUIRE_STACK(stack);
    ASSERT_GT(stack.addPlayer(), 0);
    RealHelper helper(stack);
    const Json list = helper.ok("list");
    EXPECT_EQ(withoutIds(list["videoDevices"]), Json::array({camera}));
    EXPECT_EQ(withoutIds(list["audioDevices"]), Json::array({microphone}));
    EXPECT_EQ(list["permissions"], Json({{"audio", "authorized"}, {"video", "authorized"}}));

    helper.connect(true);
    const Json status = helper.ok("status");
    EXPECT_TRUE(
        includes(status["videoFormat"], {{"width", 160}, {"height", 144}, {"mediaSubType", 0x59555956}}));
    const Json frame = helper.ok("live_frame");
    helper.ok("release_frame", {{"leaseId", frame["leaseId"]}});
    const Json shot = helper.ok("screenshot");
    EXPECT_TRUE(includes(shot, {{"width", 160}, {"height", 144}, {"format", "png"}}));

    helper.ok("start_recording", {{"captureId", freshUuid()}, {"durationMs", 5000}});
    const Json recording = helper->readEvent("recording_finished", 30.0).value_or(Json())["recording"];
    EXPECT_TRUE(includes(recording, {{"state", "complete"}, {"reason", "duration"}})) << recording.dump();
    // The camera makes 300 frames in 5 s. Those it lost (its sequence numbers show them) or the
    // writer had no room for on a busy machine are counted, not lost without trace.
    const int delivered = recording.value("videoSamples", 0) + recording.value("droppedVideoSamples", 0);
    EXPECT_NEAR(delivered, 300, 6) << recording.dump();
    const auto [frames, codecs] = contents(helper.sessionDir() + "/" + recording.value("basename", ""));
    EXPECT_EQ(frames, recording.value("videoSamples", -1));
    EXPECT_EQ(codecs, "h264\naac\n");

    const Json closed = helper.ok("close");
    EXPECT_EQ(closed["devicesReleased"], true);
    EXPECT_EQ(helper->waitExit(20.0), 0);
}

// The helper asks for the microphone cycles a desktop usually runs, 1024 samples, not cycles as
// short as its 10 ms blocks: the graph would then run 256-sample cycles, which a busy machine misses,
// and sound lost in pieces that short is too little to be taken for a gap in the recording.
TEST(PipeWire, TheMicrophoneAsksForTheDesktopsUsualCycle) {
    PipeWireStack stack;
    REQUIRE_STACK(stack);
    const pid_t player = stack.addPlayer("Quorvelle - Player 01", "YUY2", 0, 0, 0);
    ASSERT_GT(player, 0);
    RealHelper helper(stack);
    helper.connect(true);
    EXPECT_EQ(stack.microphoneCycle(player), 1024);
}

TEST(PipeWire, ThePlayerGoingAwayEndsTheRecordingPartialWithAPlayableFile) {
    PipeWireStack stack;
    REQUIRE_STACK(stack);
    const pid_t player = stack.addPlayer();
    ASSERT_GT(player, 0);
    RealHelper helper(stack);
    helper.connect(true);
    helper.ok("start_recording", {{"captureId", freshUuid()}, {"durationMs", 30000}});
    helper->waitStatus([](const Json& s) { return s["recording"]["videoSamples"].get<int>() > 60; }, 20.0);
    stack.kill(player);
    const Json recording = helper->readEvent("recording_finished", 30.0).value_or(Json())["recording"];
    EXPECT_TRUE(includes(recording, {{"state", "partial"}, {"reason", "error"}})) << recording.dump();
    const auto [frames, codecs] = contents(helper.sessionDir() + "/" + recording.value("basename", ""));
    EXPECT_GT(frames, 60);
    EXPECT_EQ(frames, recording.value("videoSamples", -1));
    EXPECT_EQ(helper.ok("status")["connection"], "disconnected");
}

// The V4L2 backend meets an implementation written elsewhere: pw-v4l2, which serves PipeWire's
// cameras as /dev/videoN to a program it runs. The helper finds cameras by listing /dev, which
// pw-v4l2 does not cover, so it runs in a mount namespace whose /dev also lists a video0.
TEST(PipeWire, TheV4l2BackendRecordsUnderPwV4l2) {
    PipeWireStack stack;
    REQUIRE_STACK(stack);
    TempDir scratch;
    const std::string script =
        "d=$1; shift; mount -t tmpfs none \"$d\" && mkdir \"$d/u\" \"$d/w\" && touch \"$d/u/video0\" && "
        "mount -t overlay overlay -o lowerdir=/dev,upperdir=\"$d/u\",workdir=\"$d/w\" /dev || exit 97; "
        "exec pw-v4l2 \"$@\"";
    if (shellOutput("command -v pw-v4l2 >/dev/null && unshare -m sh -c '" + script + "' sh " +
                    scratch.path() + " true; echo $?") != "0\n")
        GTEST_SKIP() << "pw-v4l2, or a mount namespace with its own /dev, is not available here";
    const pid_t player = stack.addPlayer();
    ASSERT_GT(player, 0);
    RealHelper helper(stack, "v4l2", false,
                      {"/usr/bin/unshare", "-m", "sh", "-c", script, "sh", scratch.path()});
    const Json list = helper.ok("list");
    ASSERT_EQ(list["videoDevices"].size(), 1u) << list.dump();
    const Json& device = list["videoDevices"][0];
    EXPECT_TRUE(includes(device, {{"label", "Quorvelle - Player 01"}, {"player", "01"}})) << device.dump();
    helper.connect(false);
    helper.ok("start_recording", {{"captureId", freshUuid()}, {"durationMs", 5000}});
    const long missedBefore = stack.missedFrames(player);
    const Json recording = helper->readEvent("recording_finished", 30.0).value_or(Json())["recording"];
    const long missed = stack.missedFrames(player) - missedBefore;
    EXPECT_TRUE(includes(recording, {{"state", "complete"}, {"reason", "duration"}})) << recording.dump();
    // pw-v4l2 numbers the frames it hands on itself, so a frame the camera could not send (the
    // helper held every buffer, or the graph ran late on a busy machine) leaves no gap the helper
    // could count. The camera counts those itself: with them, the 300 frames of 5 s are all there.
    ASSERT_GE(missedBefore, 0);
    const int delivered = recording.value("videoSamples", 0) + recording.value("droppedVideoSamples", 0);
    EXPECT_NEAR(delivered + missed, 300, 6) << recording.dump() << ", missed by the camera: " << missed;
    const auto [frames, codecs] = contents(helper.sessionDir() + "/" + recording.value("basename", ""));
    EXPECT_EQ(frames, recording.value("videoSamples", -1));
    EXPECT_EQ(codecs, "h264\n");
    EXPECT_EQ(helper.ok("close")["devicesReleased"], true);
    EXPECT_EQ(helper->waitExit(20.0), 0);
}

// Frames in the other formats the converter knows, raw ones with rows padded beyond their pixels,
// arrive whole: a screenshot of a one-colour frame is that colour throughout, padding nowhere.
TEST(PipeWire, PaddedFramesOfEachFormatConvertWhole) {
    struct Case {
        const char* format;
        std::uint32_t mediaSubType;
        int red, green, blue;
    };
    for (const Case& c : {Case{"BGRx", 0x58523234, 160, 80, 40}, Case{"NV12", 0x4E563132, 130, 130, 130},
                          Case{"MJPG", 0x4D4A5047, 160, 80, 40}}) {
        SCOPED_TRACE(c.format);
        PipeWireStack stack;
        REQUIRE_STACK(stack);
        ASSERT_GT(stack.addPlayer("Quorvelle - Player 01", c.format), 0);
        RealHelper helper(stack);
        helper.connect(false);
        EXPECT_EQ(helper.ok("status")["videoFormat"]["mediaSubType"], c.mediaSubType);
        const Json shot = helper.ok("screenshot");
        const std::string pixels = shellOutput("ffmpeg -nostdin -v error -i '" + helper.sessionDir() + "/" +
                                               shot.value("basename", "") + "' -f rawvideo -pix_fmt rgb24 -");
        ASSERT_EQ(pixels.size(), 160u * 144u * 3u);
        int worst = 0;
        for (std::size_t i = 0; i < pixels.size(); i += 3) {
            const int expected[3] = {c.red, c.green, c.blue};
            for (int k = 0; k < 3; ++k)
                worst = std::max(worst, std::abs(static_cast<unsigned char>(pixels[i + k]) - expected[k]));
        }
        EXPECT_LE(worst, 3);
        EXPECT_EQ(helper.ok("close")["devicesReleased"], true);
    }
}

// Two players made by one program have the same node names: their serials keep their ids apart,
// and an id stays the same while its player stays, whoever else comes or goes.
TEST(PipeWire, PlayersOfOneNameListApartWithIdsThatLastWhileTheyStay) {
    PipeWireStack stack;
    REQUIRE_STACK(stack);
    const pid_t first = stack.addPlayer("Quorvelle - Player 01");
    ASSERT_GT(first, 0);
    ASSERT_GT(stack.addPlayer("Quorvelle - Player 02"), 0);
    RealHelper helper(stack);
    const auto ids = [&] {
        std::map<std::string, std::string> byLabel;
        const Json list = helper.ok("list");
        for (const auto& kind : {"videoDevices", "audioDevices"}) {
            for (const auto& entry : list[kind]) byLabel[entry["label"]] = entry["deviceId"];
        }
        return byLabel;
    };
    const auto both = ids();
    ASSERT_EQ(both.size(), 4u);
    std::set<std::string> distinct;
    for (const auto& [label, id] : both) distinct.insert(id);
    EXPECT_EQ(distinct.size(), 4u);
    EXPECT_EQ(both.at("Quorvelle - Player 01").rfind("pipewire:quorvelle-test-camera/", 0), 0u);
    stack.kill(first);
    const auto left = ids();
    EXPECT_EQ(left.size(), 2u);
    for (const auto& [label, id] : left) EXPECT_EQ(id, both.at(label)) << label;
}

// Without a forced backend the helper uses PipeWire when its daemon answers; "v4l2" goes to the
// kernel's devices, where this machine's PipeWire players do not appear.
TEST(PipeWire, TheHelperChoosesPipeWireWhenItAnswersUnlessTold) {
    PipeWireStack stack;
    REQUIRE_STACK(stack);
    ASSERT_GT(stack.addPlayer(), 0);
    for (const auto& [backend, listed] :
         std::map<std::string, bool>{{"", true}, {"v4l2", false}, {"pipewire", true}}) {
        SCOPED_TRACE(backend);
        RealHelper helper(stack, backend);
        EXPECT_EQ(helper.ok("list")["videoDevices"].dump().find("pipewire:") != std::string::npos, listed);
    }
}

namespace {

// The id the sandboxed helper runs under.
const std::string appId = "org.example.QuorvelleHost";

// Runs the helper as a sandbox (Flatpak) runs application `appId`: in a mount namespace whose root,
// an overlay of the machine's, holds a /.flatpak-info naming it, which the helper and the portal
// both read. The devices, the stack's runtime directory, the scratch directories and the helper's
// own directory stay the machine's. Empty when no such namespace can be made here.
std::vector<std::string> sandbox(const PipeWireStack& stack, const TempDir& scratch) {
    const std::string script =
        "d=$1 run=$2 tmp=$3; shift 3; mount -t tmpfs none \"$d\" && mkdir \"$d/u\" \"$d/w\" \"$d/r\" && "
        "printf \"[Application]\\nname=" +
        appId +
        "\\n\" >\"$d/u/.flatpak-info\" && "
        "mount -t overlay overlay -o lowerdir=/,upperdir=\"$d/u\",workdir=\"$d/w\" \"$d/r\" || exit 97; "
        "for m in /dev /proc /sys \"$run\" \"$tmp\" \"${1%/*}\"; do "
        "mkdir -p \"$d/r$m\" && mount --rbind \"$m\" \"$d/r$m\" || exit 97; done; exec chroot \"$d/r\" "
        "\"$@\"";
    const std::vector<std::string> launcher = {
        "/usr/bin/unshare", "-m", "sh", "-c", script, "sh", scratch.path(), stack.env().at("XDG_RUNTIME_DIR"),
        helperTmp().path()};
    std::string probe;
    for (const auto& arg : launcher) probe += "'" + arg + "' ";
    if (shellOutput(probe + "/usr/bin/grep -qx name=" + appId + " /.flatpak-info 2>/dev/null; echo $?") !=
        "0\n")
        return {};
    return launcher;
}

#define REQUIRE_PORTAL(stack, mode) \
    REQUIRE_STACK(stack);           \
    if (!(stack).addPortal(mode)) GTEST_SKIP() << "xdg-desktop-portal could not be started here"

}  // namespace

// The desktop's camera portal decides the camera's permission: the answer it keeps for the
// application, else the user's answer to a request, which it then keeps. Cameras are listed and
// captured through the connection it hands out once access is granted. The microphone has no
// portal. Outside a sandbox (asked for) the portal asks about the host, under the empty id.
TEST(CameraPortal, DecidesTheCameraPermission) {
    struct Case {
        bool sandboxed;
        const char* mode;    // how the user answers a request
        const char* stored;  // the answer kept from the start
        const char* before;
        const char* after;
    };
    for (const Case& c : {Case{true, "grant", "", "not_determined", "authorized"},
                          Case{true, "deny", "", "not_determined", "denied"},
                          Case{true, "deny", "yes", "authorized", "authorized"},
                          Case{true, "grant", "no", "denied", "denied"},
                          Case{false, "grant", "", "not_determined", "authorized"}}) {
        SCOPED_TRACE(std::string(c.sandboxed ? "sandboxed " : "host ") + c.mode + " " + c.stored);
        PipeWireStack stack;
        REQUIRE_PORTAL(stack, c.mode);
        ASSERT_GT(stack.addPlayer(), 0);
        TempDir scratch;
        const auto launcher = c.sandboxed ? sandbox(stack, scratch) : std::vector<std::string>{};
        if (c.sandboxed && launcher.empty()) GTEST_SKIP() << "no mount namespace for a sandbox here";
        const std::string id = c.sandboxed ? appId : "";
        if (*c.stored != '\0') {
            ASSERT_TRUE(stack.storeCameraPermission(id, c.stored));
        }

        RealHelper helper(stack, "pipewire", !c.sandboxed, launcher);
        EXPECT_EQ(helper.ok("permission_status")["permissions"],
                  Json({{"audio", "authorized"}, {"video", c.before}}));
        EXPECT_EQ(helper.ok("request_permission", {{"media", "video"}})["permissions"]["video"], c.after);
        // The user is asked only when no answer is kept.
        EXPECT_EQ(stack.asked(), *c.stored == '\0' ? id + "\n" : "");
        EXPECT_EQ(helper.ok("permission_status")["permissions"]["video"], c.after);
        const Json list = helper.ok("list");
        EXPECT_EQ(withoutIds(list["audioDevices"]), Json::array({microphone}));
        if (std::string(c.after) != "authorized") {
            EXPECT_EQ(list["videoDevices"], Json::array());
            continue;
        }
        EXPECT_EQ(withoutIds(list["videoDevices"]), Json::array({camera}));
        helper.connect(false);
        EXPECT_TRUE(includes(helper.ok("screenshot"), {{"width", 160}, {"height", 144}, {"format", "png"}}));
        EXPECT_EQ(helper.ok("close")["devicesReleased"], true);
        EXPECT_EQ(helper->waitExit(20.0), 0);
    }
}

// A request the user never answers leaves the helper serving only what it serves while busy, until
// its own bound ends it with "PERMISSION_TIMEOUT", the request itself unanswered.
TEST(CameraPortal, AnUnansweredRequestEndsTheHelperAtItsBound) {
    PipeWireStack stack;
    REQUIRE_PORTAL(stack, "silent");
    TempDir scratch;
    const auto launcher = sandbox(stack, scratch);
    if (launcher.empty()) GTEST_SKIP() << "no mount namespace for a sandbox here";
    RealHelper helper(stack, "pipewire", false, launcher);
    const auto asked = std::chrono::steady_clock::now();
    const std::string request = helper->send("request_permission", {{"media", "video"}});
    EXPECT_EQ(helper.ok("status")["permissions"]["video"], "not_determined");
    EXPECT_EQ(helper->request("list").value_or(Json())["error"]["code"], "BUSY");
    EXPECT_TRUE(waitUntil([&] { return stack.asked() == appId + "\n"; }));

    const Json fatal = helper->readEvent("fatal", 60.0).value_or(Json());
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::seconds(45));
    EXPECT_EQ(fatal["error"],
              Json({{"code", "PERMISSION_TIMEOUT"},
                    {"message",
                     "Owned native helper is stopping after a bounded transport/native failure; "
                     "normal release is not yet confirmed"}}));
    EXPECT_EQ(fatal["devicesReleased"], false);
    EXPECT_TRUE(helper->readEvent("closed", 20.0));
    EXPECT_EQ(helper->waitExit(20.0), 0);
    for (const Json& line : helper->skipped()) EXPECT_NE(line.value("requestId", ""), request) << line.dump();
}
