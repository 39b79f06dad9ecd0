#include "EngineTestSupport.h"

#include "capture/Movie.h"
#include "files/OwnedFiles.h"
#include "platform/CaptureSession.h"
#include "platform/Uuid.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

using namespace qvtest;

namespace {

class StubDevice : public qv::CaptureDevice {
public:
    qv::MediaType mediaType() const override { return qv::MediaType::video; }
    const std::string& uniqueId() const override { return id_; }
    const std::string& localizedName() const override { return id_; }
    const std::vector<qv::VideoFormat>& formats() const override { return formats_; }
    std::optional<qv::VideoFormat> activeFormat() const override { return std::nullopt; }
    double activeMinFrameDuration() const override { return 0; }
    double activeMaxFrameDuration() const override { return 0; }
    std::shared_ptr<qv::CaptureInput> createInput() override { return nullptr; }

private:
    std::string id_ = "stub";
    std::vector<qv::VideoFormat> formats_;
};

// A camera that streams nothing; whether it lets go of the device, and how long stopping takes,
// are the test's choice.
class StubInput : public qv::CaptureInput {
public:
    StubInput(bool releases, double stopSeconds)
        : CaptureInput(std::make_shared<StubDevice>()), releases_(releases), stopSeconds_(stopSeconds) {}
    bool start(const std::vector<std::shared_ptr<qv::CaptureOutput>>&) override { return true; }
    void stop() override { std::this_thread::sleep_for(std::chrono::duration<double>(stopSeconds_)); }
    bool release() override { return releases_; }

private:
    bool releases_;
    double stopSeconds_;
};

// A running session with one stub camera, as connect leaves it.
std::shared_ptr<qv::CaptureSession> runningSession(bool releases, double stopSeconds = 0) {
    auto session = std::make_shared<qv::CaptureSession>();
    session->addInput(std::make_shared<StubInput>(releases, stopSeconds));
    session->startRunning();
    return session;
}

// A recording with a few frames written, started on the engine as start_recording would.
void startRecording(qv::Engine& e, int frames) {
    auto pixel = qv::PixelBuffer::create(16, 16);
    for (int y = 0; y < 16; ++y)
        std::fill(pixel->row(y), pixel->row(y) + 64, static_cast<std::uint8_t>(y * 9));
    const qv::PixelBufferRef frame = pixel;
    e.movie = std::make_shared<qv::Movie>(qv::randomUuid(), 10'000, *e.files, frame, std::nullopt);
    for (int i = 0; i < frames; ++i) {
        // The writer takes frames only while its small queue has room.
        for (int wait = 0; wait < 2000 && !e.movie->writer->isVideoReady(); ++wait) usleep(1000);
        e.movie->recordVideo(frame, 100.0 + i / 60.0);
    }
}

// Lines written so far, once one satisfies `done` (or after 20 s).
std::vector<Json> linesUntil(EngineUnderTest& t, const std::function<bool(const Json&)>& done) {
    for (int i = 0; i < 2000; ++i) {
        const auto lines = t.lines();
        for (const auto& j : lines) {
            if (done(j)) return lines;
        }
        usleep(10000);
    }
    return t.lines();
}

bool isEvent(const Json& j, const char* name) {
    return j.value("event", "") == name;
}

const Json* eventIn(const std::vector<Json>& lines, const char* name) {
    for (const auto& j : lines) {
        if (isEvent(j, name)) return &j;
    }
    return nullptr;
}

class EngineFinish : public ::testing::Test {
protected:
    void SetUp() override { prepareDeathTest(); }
};

}  // namespace

TEST_F(EngineFinish, StoppedRecordingCompletesWhileTheStreamContinues) {
    EngineUnderTest t;
    std::int64_t before = 0;
    t.onControl([&](qv::Engine& e) {
        e.connection = "connected";
        e.session = runningSession(true);
        startRecording(e, 10);
        e.armWatchdog(600, "session_limit");
        before = e.sequence;
        e.finish("stop", false);
        EXPECT_TRUE(e.busy);
        EXPECT_EQ(e.movie->state, "finishing");
    });
    const auto lines = linesUntil(t, [](const Json& j) { return isEvent(j, "recording_finished"); });
    const Json* finished = eventIn(lines, "recording_finished");
    ASSERT_NE(finished, nullptr);
    const Json& record = (*finished)["recording"];
    EXPECT_EQ(record.size(), 15u);
    EXPECT_EQ(record["state"], "complete");
    EXPECT_EQ(record["reason"], "stop");
    EXPECT_EQ(record["devicesReleased"], false);
    EXPECT_EQ(record["streamContinues"], true);
    EXPECT_EQ(record["error"], nullptr);
    EXPECT_EQ(record["requestedDurationMs"], 10000);
    EXPECT_GT(record["videoSamples"].get<int>(), 0);
    EXPECT_GT(record["bytes"].get<int>(), 0);
    EXPECT_EQ(record["sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ((*finished)["stateSequence"], before + 2);
    EXPECT_EQ(eventIn(lines, "closed"), nullptr);

    t.onControl([&](qv::Engine& e) {
        EXPECT_EQ(e.connection, "connected");
        EXPECT_NE(e.session, nullptr);
        EXPECT_EQ(e.watchdog, nullptr);
        EXPECT_FALSE(e.busy);
        EXPECT_FALSE(e.finishingOperationID);
        EXPECT_EQ(e.status(false)["recording"], record);
        struct stat info {};
        ASSERT_EQ(::stat((e.files->url() + "/" + record["basename"].get<std::string>()).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(info.st_size, record["bytes"].get<std::int64_t>());
    });
}

TEST_F(EngineFinish, FileSizeLimitNeverCountsAsComplete) {
    EngineUnderTest t;
    t.onControl([&](qv::Engine& e) {
        e.connection = "connected";
        startRecording(e, 5);
        e.finish("limit", false);
    });
    const auto lines = linesUntil(t, [](const Json& j) { return isEvent(j, "recording_finished"); });
    const Json* finished = eventIn(lines, "recording_finished");
    ASSERT_NE(finished, nullptr);
    EXPECT_EQ((*finished)["recording"]["state"], "partial");
    EXPECT_EQ((*finished)["recording"]["streamContinues"], true);
    EXPECT_EQ((*finished)["recording"]["error"],
              (Json{{"code", "CAPTURE_PARTIAL"}, {"message", "Capture did not complete normally"}}));
}

TEST_F(EngineFinish, RecordingWithoutFramesIsCancelledNotFinished) {
    EngineUnderTest t;
    t.onControl([&](qv::Engine& e) {
        e.connection = "connected";
        startRecording(e, 0);
        e.finish("duration", false);
    });
    const auto lines = linesUntil(t, [](const Json& j) { return isEvent(j, "recording_finished"); });
    const Json* finished = eventIn(lines, "recording_finished");
    ASSERT_NE(finished, nullptr);
    const Json& record = (*finished)["recording"];
    EXPECT_EQ(record["state"], record["bytes"].get<int>() > 0 ? "partial" : "failed");
    EXPECT_EQ(record["videoSamples"], 0);
    EXPECT_EQ(record["durationMs"], 0);
    EXPECT_EQ(record["error"]["code"], "CAPTURE_PARTIAL");
}

TEST_F(EngineFinish, DisconnectDuringRecordingReleasesAndReportsIt) {
    EngineUnderTest t;
    std::int64_t before = 0;
    t.onControl([&](qv::Engine& e) {
        e.connection = "connected";
        e.session = runningSession(true);
        startRecording(e, 10);
        before = e.sequence;
        e.request(EngineUnderTest::request("disconnect"));
    });
    const auto lines = linesUntil(t, [](const Json& j) { return isEvent(j, "recording_finished"); });
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0]["result"]["accepted"], true);
    EXPECT_EQ(lines[0]["result"]["connection"], "stopping");
    EXPECT_EQ(lines[0]["result"]["stateSequence"], before + 1);
    const Json* finished = eventIn(lines, "recording_finished");
    ASSERT_NE(finished, nullptr);
    EXPECT_EQ((*finished)["recording"]["reason"], "disconnect");
    EXPECT_EQ((*finished)["recording"]["devicesReleased"], true);
    EXPECT_EQ((*finished)["recording"]["streamContinues"], false);
    EXPECT_EQ((*finished)["recording"]["state"], "complete");
    EXPECT_EQ((*finished)["stateSequence"], before + 3);
    EXPECT_EQ(eventIn(lines, "closed"), nullptr);
    t.onControl([](qv::Engine& e) {
        EXPECT_EQ(e.connection, "disconnected");
        EXPECT_EQ(e.session, nullptr);
        EXPECT_TRUE(e.releaseConfirmed);
        EXPECT_FALSE(e.busy);
    });
}

TEST_F(EngineFinish, CloseDuringARecordingFinishWaitsForTheReport) {
    const SharedPath shared("lines.jsonl");
    const std::string& path = shared.path();
    EXPECT_EXIT(
        {
            EngineUnderTest t;
            t.mirrorOutputTo(path);
            t.onControl([](qv::Engine& e) {
                e.connection = "connected";
                e.session = runningSession(true);
                startRecording(e, 5);
                e.finish("stop", false);
                e.close("00000000-0000-4000-8000-000000000002", "close");
                if (!e.shutdown || e.connection != "connected") std::abort();
            });
            for (;;) pause();
        },
        ::testing::ExitedWithCode(0), "");
    const auto lines = EngineUnderTest::linesOf(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["recording"]["reason"], "stop");
    EXPECT_EQ(lines[0]["recording"]["state"], "complete");
    EXPECT_EQ(lines[1]["requestId"], "00000000-0000-4000-8000-000000000002");
    EXPECT_EQ(lines[1]["result"]["closed"], true);
    EXPECT_EQ(lines[2]["event"], "closed");
}

TEST_F(EngineFinish, UnconfirmedReleaseClosesWithStatusTwo) {
    const SharedPath shared("lines.jsonl");
    const std::string& path = shared.path();
    EXPECT_EXIT(
        {
            EngineUnderTest t;
            t.mirrorOutputTo(path);
            t.onControl([](qv::Engine& e) {
                e.connection = "connected";
                e.session = runningSession(false);
                startRecording(e, 5);
                e.close("00000000-0000-4000-8000-000000000003", "close");
            });
            for (;;) pause();
        },
        ::testing::ExitedWithCode(2), "");
    const auto lines = EngineUnderTest::linesOf(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["recording"]["reason"], "close");
    EXPECT_EQ(lines[0]["recording"]["devicesReleased"], false);
    EXPECT_EQ(lines[0]["recording"]["state"], "partial");
    EXPECT_EQ(lines[1]["result"]["closed"], false);
    EXPECT_EQ(lines[1]["result"]["devicesReleased"], false);
    EXPECT_EQ(lines[2]["event"], "closed");
    EXPECT_EQ(lines[2]["devicesReleased"], false);
}

TEST_F(EngineFinish, StopThatNeverEndsIsTerminatedByTheFinishTimeout) {
    const SharedPath shared("lines.jsonl");
    const std::string& path = shared.path();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            EngineUnderTest t;
            t.mirrorOutputTo(path);
            t.onControl([](qv::Engine& e) {
                e.connection = "connected";
                e.session = runningSession(true, 60.0);
                e.finish("disconnect", false);
            });
            for (;;) pause();
        },
        ::testing::ExitedWithCode(2), "");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 15.0);
    EXPECT_LT(seconds, 25.0);
    const auto lines = EngineUnderTest::linesOf(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["event"], "fatal");
    EXPECT_EQ(lines[0]["error"]["code"], "NATIVE_FINISH_TIMEOUT");
}

TEST_F(EngineFinish, RecordingDeadlineEndsTheRecordingThroughTheWatchdog) {
    EngineUnderTest t;
    t.onControl([&](qv::Engine& e) {
        e.connection = "connected";
        startRecording(e, 5);
        e.armWatchdog(0.05, "duration");
    });
    const auto lines = linesUntil(t, [](const Json& j) { return isEvent(j, "recording_finished"); });
    const Json* finished = eventIn(lines, "recording_finished");
    ASSERT_NE(finished, nullptr);
    EXPECT_EQ((*finished)["recording"]["reason"], "duration");
    EXPECT_EQ((*finished)["recording"]["state"], "complete");
    t.onControl([](qv::Engine& e) { EXPECT_EQ(e.watchdog, nullptr); });
}
