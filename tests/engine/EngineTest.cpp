#include "DiskFault.h"
#include "EngineHarness.h"
#include "base/Clock.h"
#include "base/Digest.h"
#include "base/Semaphore.h"
#include "engine/PlayerName.h"
#include "engine/Screenshot.h"
#include "protocol/RequestReader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

using namespace qvtest;

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
    const auto screenshot = [&] { return t.call(request("screenshot")); };
    // Only the control queue's writes fail: the preview worker keeps writing to the real disk.
    t.onControl([&](qv::Engine&) { disk->only = std::this_thread::get_id(); });
    for (const auto& [room, error] : {std::pair{100, ENOSPC}, std::pair{0, EIO}}) {
        disk->room = room;
        disk->error = error;
        const Json reply = screenshot();
        EXPECT_FALSE(reply.contains("result"));
        EXPECT_EQ(reply["error"], (Json{{"code", "OUTPUT_WRITE"}, {"message", "Image write failed"}}));
    }
    disk->room = -1;
    const Json written = screenshot()["result"];
    ASSERT_TRUE(written.is_object());
    EXPECT_TRUE(
        includes(t.call(request("status"))["result"], {{"connection", "connected"}, {"lastError", nullptr}}));

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
    EXPECT_EQ(t.call(request("request_permission", {{"media", "audio"}}))["error"],
              (Json{{"code", "ALREADY_CONNECTED"},
                    {"message", "Disconnect before requesting a new media permission"}}));
    t.onControl([](qv::Engine& e) { EXPECT_FALSE(e.lifecycle().busy()); });
    EXPECT_EQ(t.devices->authorizationStatus(qv::MediaType::audio), qv::AuthorizationStatus::notDetermined);
    t.disconnect();
}

// The connection's deadline, kept armed for its forced stage, passes after the failed release: its
// normal stage stops again and must not find the devices released.
TEST(Engine, AnUnconfirmedReleaseStaysUnconfirmedWhenTheDeadlinePasses) {
    qv::ManualTime time(0);
    EngineUnderTest t(Json{{"video", {simVideo(1, {{"releaseFails", true}})}}}, qv::protocolLimits, {},
                      &time);
    ASSERT_EQ(t.connect(1)["ok"], true);
    t.call(request("disconnect"));
    // Stopping again moves the sequence on twice, through "stopping".
    const auto sequence = t.waitStatus(has("connection", "failed")).value("stateSequence", 0);
    time.advance(qv::protocolLimits.sessionSeconds);
    const Json after = t.waitStatus([&](const Json& s) { return s["stateSequence"] >= sequence + 2; });
    EXPECT_EQ(after["connection"], "failed");
}

TEST(Engine, ARecordingStoppedBeforeItsFirstFrameIsNotComplete) {
    EngineUnderTest t(Json{{"video", {simVideo(1)}}});
    ASSERT_EQ(t.connect(1)["ok"], true);
    ASSERT_FALSE(t.waitStatus([](const Json& s) { return s["source"].is_object(); }).is_null());
    // Frames arrive on the control queue, so none comes between the two requests.
    t.onControl([](qv::Engine& e) {
        e.request(request("start_recording", {{"captureId", qv::randomUuid()}}));
        e.request(request("stop_recording"));
    });
    const Json record = t.waitLine(has("event", "recording_finished"))["recording"];
    // The writer is cancelled; what it had written of the file stays.
    EXPECT_EQ(record["state"], record["bytes"].get<int>() > 0 ? "partial" : "failed");
    EXPECT_TRUE(includes(
        record,
        {{"durationMs", 0},
         {"streamContinues", true},
         {"error", {{"code", "CAPTURE_PARTIAL"}, {"message", "Capture did not complete normally"}}}}));
    t.disconnect();
}

TEST(Engine, ASourceWithoutFramesOrThatPausesHasStalled) {
    for (const int frames : {0, 5}) {
        SCOPED_TRACE(frames);
        qv::ManualTime time(qv::mono());
        EngineUnderTest t(Json{{"video", {simVideo(1, {{"stallAfterFrames", frames}})}}}, qv::protocolLimits,
                          {}, &time);
        t.onControl([](qv::Engine& e) { e.ready(); });
        ASSERT_EQ(t.connect(1)["ok"], true);
        if (frames > 0) {
            ASSERT_FALSE(t.waitStatus([](const Json& s) { return s["source"].is_object(); }).is_null());
        }
        // Past both the first-frame and the frame-gap bound, again on every look until the tick notices.
        const Json status = t.waitStatus([&](const Json& s) {
            time.advance(qv::protocolLimits.firstFrameSeconds + 1);
            return s["connection"] == "disconnected";
        });
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

// Whatever ends the process sends one "fatal" line and then exits as the case says, so each case runs
// in a death-test child. That child runs the body again, skipping the death tests before its own (and
// failing their checks, which it does not report).
//
// The child learns the parent's output path through the environment. The helper ends with an
// immediate exit while its queue and writer threads still exist, by design, so a thread-sanitizer
// build must not count those threads as leaked.
TEST(Engine, WhatEndsTheProcessSendsOneFatalLineThenExits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* tsan = std::getenv("TSAN_OPTIONS");
    const std::string options = tsan ? tsan : "";
    if (options.find("report_thread_leaks") == std::string::npos) {
        ::setenv("TSAN_OPTIONS", (options + " report_thread_leaks=0").c_str(), 1);
    }
    std::optional<TempDir> shared;
    if (!std::getenv("QV_SHARED_TEST_DIR")) {
        shared.emplace();
        ::setenv("QV_SHARED_TEST_DIR", shared->path().c_str(), 1);
    }
    const std::string path = std::string(std::getenv("QV_SHARED_TEST_DIR")) + "/lines.jsonl";
    qv::Limits limits;
    limits.startSeconds = limits.finishSeconds = limits.permissionSeconds = 0.5;
    limits.terminateExitSeconds = limits.handOffSeconds = 0.5;
    // Where nothing stays connected, the close that follows the fatal line ends the helper normally,
    // long before the forced exit.
    qv::Limits patient = limits;
    patient.terminateExitSeconds = 60;
    auto disk = std::make_shared<DiskFault>();
    disk->room = 100;
    disk->error = EIO;
    struct Case {
        const char* code = nullptr;
        Json players = Json::object();
        std::function<void(EngineUnderTest&)> work = {};
        int status = 2;  // 0: patient limits
        qv::FileIo fileIo = {};
        // Unless left unset: how many lines are written in all, the first one's error, the fewest seconds
        // the child takes.
        std::size_t lines = 0;
        Json firstError = nullptr;
        double seconds = 0;
    };
    const Case cases[] = {
        // After a close every request is refused, and input that fails again sends nothing more.
        {.code = "INVALID_JSON",
         .work =
             [](EngineUnderTest& t) {
                 t.onControl([](qv::Engine& e) {
                     // A finish in progress holds the close back, so only the forced exit ends it.
                     e.beginSimulatedFinish();
                     e.request(request("close"));
                     e.request(request("status"));
                     e.inputFailed("INVALID_JSON");
                     e.inputFailed("INVALID_JSON");
                 });
             },
         .lines = 2,
         .firstError = {{"code", "CLOSING"}, {"message", "Helper is closing"}}},
        // The intake loop lives in the protocol module but needs a whole engine: a control queue that
        // stays blocked past the hand-off wait ends the process without the engine.
        {.code = "CONTROL_STALLED",
         .work =
             [limits](EngineUnderTest& t) {
                 int input[2];
                 if (::pipe(input) != 0) std::abort();
                 const std::string text = request("status").dump() + "\n";
                 (void)!::write(input[1], text.data(), text.size());
                 qv::controlQueue().async([] { qv::Semaphore().wait(30.0); });
                 qv::RequestReader(t.engine, t.output, qv::controlQueue(), input[0], limits).run();
             },
         .lines = 1,
         .firstError = {{"code", "CONTROL_STALLED"},
                        {"message",
                         "Native control queue did not accept a bounded request; cleanup is unconfirmed"}},
         .seconds = limits.handOffSeconds},
        // A wait that never ends is cut by its bound.
        {.code = "NATIVE_START_TIMEOUT",
         .players = {{"video", {simVideo(1, {{"startDelayMs", 60000}})}}},
         .work = [](auto& t) { t.send(t.connectRequest(1)); }},
        {.code = "NATIVE_FINISH_TIMEOUT",
         .players = {{"video", {simVideo(1, {{"stopDelayMs", 60000}})}}},
         .work = [](auto& t) { t.connect(1), t.send(request("disconnect")); }},
        {.code = "PERMISSION_TIMEOUT",
         .players = {{"permissions", {{"video", "not_determined"}}},
                     {"permissionRequests", {{"video", {{"answerAfterMs", nullptr}}}}}},
         .work =
             [](auto& t) {
                 t.send(request("request_permission", {{"media", "video"}}));
             },
         .status = 0},
        {.code = "PREVIEW_OUTPUT_FAILED",
         .players = {{"video", {simVideo(1)}}},
         .work = [](auto& t) { t.connect(1); },
         .status = 0,
         .fileIo = faultyIo(disk)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        ::unlink(path.c_str());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EXIT(
            {
                EngineUnderTest t(c.players, c.status == 0 ? patient : limits, c.fileIo);
                if (::link(t.outputPath.c_str(), path.c_str()) != 0) std::abort();
                c.work(t);
                for (;;) pause();
            },
            ::testing::ExitedWithCode(c.status), "");
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const auto lines = linesOf(path);
        const auto fatal = std::ranges::find_if(lines, has("event", "fatal"));
        // No ASSERT: the child must go on to its own death test.
        EXPECT_EQ(std::ranges::count_if(lines, has("event", "fatal")), 1);
        if (fatal == lines.end()) continue;
        EXPECT_EQ((*fatal)["error"]["code"], c.code);
        EXPECT_EQ((*fatal)["devicesReleased"], false);
        EXPECT_EQ(std::ranges::count_if(lines, has("event", "closed")), c.status == 0 ? 1 : 0);
        EXPECT_EQ(c.lines == 0 ? 0 : lines.size(), c.lines);
        EXPECT_EQ(c.firstError.is_null() ? Json() : lines[0]["error"], c.firstError);
        EXPECT_GE(seconds, c.seconds);
    }
    if (shared) ::unsetenv("QV_SHARED_TEST_DIR");
}
