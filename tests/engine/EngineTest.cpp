#include "DiskFault.h"
#include "EngineTestSupport.h"

#include "base/Digest.h"
#include "base/Semaphore.h"
#include "engine/PlayerName.h"
#include "engine/Screenshot.h"
#include "protocol/RequestReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

using namespace qvtest;

namespace {

bool disconnected(const Json& status) {
    return status["connection"] == "disconnected";
}

bool isEvent(const Json& line, const char* name) {
    return line.value("event", "") == name;
}

}  // namespace

TEST(Engine, PlayerNamesMatchTheWholeName) {
    EXPECT_EQ(qv::player("Quorvelle - Player 10", true), "10");
    for (const char* name :
         {"Quorvelle - Player 01\n", "\nQuorvelle - Player 01", "Quorvelle - Player 1",
          "Microphone (Quorvelle - Player 01", "Microphone (Quorvelle - Player 01\n)", ""}) {
        EXPECT_EQ(qv::player(name, true), std::nullopt) << name;
    }
}

TEST(Engine, ScreenshotBoundIsInclusive) {
    const auto frame = qv::PixelBuffer::create(64, 64);
    const auto size = static_cast<std::int64_t>(qv::screenshotPNG(*frame).size());
    EXPECT_EQ(static_cast<std::int64_t>(qv::screenshotPNG(*frame, size).size()), size);
    EXPECT_EQ(thrown([&] { qv::screenshotPNG(*frame, size - 1); }),
              "SCREENSHOT_BOUND / Native PNG exceeds the screenshot limit");
}

TEST(Engine, AScreenshotOnAFullOrFailingDiskFailsAndTheStreamRunsOn) {
    auto disk = std::make_shared<DiskFault>();
    qv::Limits limits;
    limits.maxScreenshots = 3;
    EngineUnderTest t(Json{{"video", {simVideo(1)}}}, limits, faultyIo(disk));
    ASSERT_EQ(t.connect(1)["ok"], true);
    ASSERT_FALSE(t.waitStatus([](const Json& s) { return s["source"].is_object(); }).is_null());
    const auto screenshot = [&] { return t.call(EngineUnderTest::request("screenshot")); };
    // Only the control queue's writes fail: the preview worker keeps writing to the real disk.
    t.onControl([&](qv::Engine&) { disk->only = std::this_thread::get_id(); });
    for (const auto& [room, error] : {std::pair{100, ENOSPC}, std::pair{0, EIO}}) {
        disk->room = room;
        disk->error = error;
        const Json reply = screenshot();
        EXPECT_EQ(reply["ok"], false);
        EXPECT_FALSE(reply.contains("result"));
        EXPECT_EQ(reply["error"], (Json{{"code", "OUTPUT_WRITE"}, {"message", "Image write failed"}}));
    }
    disk->room = -1;
    const Json written = screenshot()["result"];
    ASSERT_TRUE(written.is_object());
    const Json status = t.call(EngineUnderTest::request("status"))["result"];
    EXPECT_EQ(status["connection"], "connected");
    EXPECT_TRUE(status["lastError"].is_null());

    // The failed screenshots used up their quota; what they wrote stays, as every screenshot does.
    EXPECT_EQ(screenshot()["error"]["code"], "SCREENSHOT_UNAVAILABLE");
    std::vector<std::uintmax_t> sizes;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(t.dir.path())) {
        if (entry.path().filename().string().starts_with("snapshot-")) sizes.push_back(entry.file_size());
        if (entry.path().filename() == written["basename"].get<std::string>()) {
            EXPECT_EQ(qv::sha256Hex(fileText(entry.path())), written["sha256"]);
        }
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<std::uintmax_t>{0, 100, written["bytes"].get<std::uintmax_t>()}));
    t.disconnect();
}

TEST(Engine, AnUndeterminedPermissionIsNotRequestedWhileConnected) {
    EngineUnderTest t(Json{{"video", {simVideo(1)}},
                           {"audio", {simAudio(1)}},
                           {"permissions", {{"video", "authorized"}, {"audio", "not_determined"}}}});
    ASSERT_EQ(t.connect(1)["ok"], true);
    const Json refused = t.call(EngineUnderTest::request("request_permission", {{"media", "audio"}}));
    EXPECT_EQ(refused["error"], (Json{{"code", "ALREADY_CONNECTED"},
                                      {"message", "Disconnect before requesting a new media permission"}}));
    t.onControl([](qv::Engine& e) { EXPECT_FALSE(e.lifecycle().busy); });
    EXPECT_EQ(t.devices->authorizationStatus(qv::MediaType::audio), qv::AuthorizationStatus::notDetermined);
    t.disconnect();
}

TEST(Engine, ARecordingStoppedBeforeItsFirstFrameIsNotComplete) {
    EngineUnderTest t(Json{{"video", {simVideo(1)}}});
    ASSERT_EQ(t.connect(1)["ok"], true);
    ASSERT_FALSE(t.waitStatus([](const Json& s) { return s["source"].is_object(); }).is_null());
    // Frames arrive on the control queue, so none comes between the two requests.
    t.onControl([](qv::Engine& e) {
        e.request(EngineUnderTest::request("start_recording", {{"captureId", qv::randomUuid()}}));
        e.request(EngineUnderTest::request("stop_recording"));
    });
    const Json record =
        t.waitLine([](const Json& j) { return isEvent(j, "recording_finished"); })["recording"];
    // The writer is cancelled; what it had written of the file stays.
    EXPECT_EQ(record["state"], record["bytes"].get<int>() > 0 ? "partial" : "failed");
    EXPECT_EQ(record["durationMs"], 0);
    EXPECT_EQ(record["error"],
              (Json{{"code", "CAPTURE_PARTIAL"}, {"message", "Capture did not complete normally"}}));
    EXPECT_EQ(record["streamContinues"], true);
    t.disconnect();
}

TEST(Engine, ASourceWithoutFramesOrThatPausesHasStalled) {
    qv::Limits limits;
    // Short against the production bounds, long against a busy machine's delays between frames.
    limits.firstFrameSeconds = 3.0;
    limits.frameGapSeconds = 2.0;
    for (const int frames : {0, 5}) {
        SCOPED_TRACE(frames);
        EngineUnderTest t(Json{{"video", {simVideo(1, {{"stallAfterFrames", frames}})}}}, limits);
        t.onControl([](qv::Engine& e) { e.ready(); });
        ASSERT_EQ(t.connect(1)["ok"], true);
        const Json status = t.waitStatus(disconnected);
        EXPECT_EQ(status["lastError"]["code"], "DEVICE_STALLED");
        if (frames == 0) {
            EXPECT_TRUE(status["source"].is_null());
        } else {
            // A frame the control queue was too busy to take is dropped, not counted.
            EXPECT_GE(status["source"]["videoSamples"].get<int>(), 1);
            EXPECT_LE(status["source"]["videoSamples"].get<int>(), frames);
        }
    }
}

// Anything that starts closing ends the process, so these run in a child of their own.
TEST(Engine, AfterCloseEveryRequestIsRefusedAndTerminateSendsOneFatal) {
    qv::Limits limits;
    limits.terminateExitSeconds = 0.5;
    const auto [lines, seconds] = linesOfExitingEngine(
        Json::object(), limits,
        [](EngineUnderTest& t) {
            t.onControl([](qv::Engine& e) {
                // A finish in progress holds the close back, so only the forced exit ends it.
                e.beginSimulatedFinish("f");
                e.request(EngineUnderTest::request("close"));
                e.request(EngineUnderTest::request("status"));
                e.inputFailed("INVALID_JSON");
                e.inputFailed("INVALID_JSON");
            });
        },
        2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["error"], (Json{{"code", "CLOSING"}, {"message", "Helper is closing"}}));
    EXPECT_EQ(lines[1]["event"], "fatal");
    EXPECT_EQ(lines[1]["error"]["code"], "INVALID_JSON");
}

// A wait that never ends is cut by its bound: a "fatal" line, then the exit that `status` names.
// One death test per test: the child runs the test body again up to its own death test.
static void expectTerminated(const char* code, const Json& players, const qv::Limits& limits,
                             const std::function<void(EngineUnderTest&)>& work, int status,
                             const qv::FileIo& fileIo = {}) {
    const auto [lines, seconds] = linesOfExitingEngine(players, limits, work, status, fileIo);
    const auto fatal =
        std::find_if(lines.begin(), lines.end(), [](const Json& j) { return isEvent(j, "fatal"); });
    ASSERT_NE(fatal, lines.end());
    EXPECT_EQ((*fatal)["error"]["code"], code);
    EXPECT_EQ((*fatal)["devicesReleased"], false);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const Json& j) { return isEvent(j, "closed"); }),
              status == 0 ? 1 : 0);
}

static qv::Limits shortWaits() {
    qv::Limits limits;
    limits.startSeconds = 0.5;
    limits.finishSeconds = 0.5;
    limits.permissionSeconds = 0.5;
    limits.terminateExitSeconds = 0.5;
    return limits;
}

TEST(Engine, AStartThatNeverEndsIsTerminated) {
    expectTerminated(
        "NATIVE_START_TIMEOUT", {{"video", {simVideo(1, {{"startDelayMs", 60000}})}}}, shortWaits(),
        [](EngineUnderTest& t) {
            const Json listed = t.call(EngineUnderTest::request("list"));
            t.onControl([&](qv::Engine& e) {
                e.request(
                    EngineUnderTest::request("connect", {{"inventoryId", listed["result"]["inventoryId"]},
                                                         {"selection", {{"videoDeviceId", videoId(1)}}}}));
            });
        },
        2);
}

TEST(Engine, AStopThatNeverEndsIsTerminated) {
    expectTerminated(
        "NATIVE_FINISH_TIMEOUT", {{"video", {simVideo(1, {{"stopDelayMs", 60000}})}}}, shortWaits(),
        [](EngineUnderTest& t) {
            t.connect(1);
            t.onControl([](qv::Engine& e) { e.request(EngineUnderTest::request("disconnect")); });
        },
        2);
}

TEST(Engine, APermissionAnswerThatNeverComesIsTerminated) {
    // Nothing is connected, so the close that follows the fatal line ends the helper normally,
    // long before the forced exit.
    qv::Limits limits = shortWaits();
    limits.terminateExitSeconds = 60;
    expectTerminated(
        "PERMISSION_TIMEOUT",
        {{"permissions", {{"video", "not_determined"}}},
         {"permissionRequests", {{"video", {{"answerAfterMs", nullptr}}}}}},
        limits,
        [](EngineUnderTest& t) {
            t.onControl([](qv::Engine& e) {
                e.request(EngineUnderTest::request("request_permission", {{"media", "video"}}));
            });
        },
        0);
}

TEST(Engine, APreviewThatCannotBeWrittenEndsTheHelper) {
    auto disk = std::make_shared<DiskFault>();
    disk->room = 100;
    disk->error = EIO;
    // The close that follows the fatal line releases the player and ends the helper normally.
    qv::Limits limits = shortWaits();
    limits.terminateExitSeconds = 60;
    expectTerminated(
        "PREVIEW_OUTPUT_FAILED", {{"video", {simVideo(1)}}}, limits, [](EngineUnderTest& t) { t.connect(1); },
        0, faultyIo(disk));
}

// The intake loop lives in the protocol module but needs a whole engine.
TEST(Engine, StalledControlQueueEndsTheProcessWithoutTheEngine) {
    const auto [lines, seconds] = linesOfExitingEngine(
        Json::object(), qv::protocolLimits,
        [](EngineUnderTest& t) {
            int input[2];
            if (::pipe(input) != 0) std::abort();
            const std::string text = EngineUnderTest::request("status").dump() + "\n";
            (void)!::write(input[1], text.data(), text.size());
            // The control queue stays blocked well past the hand-off wait.
            qv::controlQueue().async([] { qv::Semaphore().wait(30.0); });
            qv::RequestReader(t.engine, t.output, qv::controlQueue(), input[0]).run();
        },
        2);
    EXPECT_GE(seconds, qv::RequestReader::handOffSeconds);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["devicesReleased"], false);
    EXPECT_EQ(
        lines[0]["error"],
        (Json{{"code", "CONTROL_STALLED"},
              {"message", "Native control queue did not accept a bounded request; cleanup is unconfirmed"}}));
}
