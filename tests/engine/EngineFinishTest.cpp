#include "EngineTestSupport.h"

#include "capture/Movie.h"
#include "files/OwnedFiles.h"
#include "platform/CaptureSession.h"
#include "platform/Uuid.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
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

bool has(const std::vector<Json>& lines, const char* event) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const Json& j) { return j.value("event", "") == event; });
}

// The "recording_finished" event, once written (null after 20 s), and every line written by then.
Json finishedEvent(EngineUnderTest& t, std::vector<Json>* lines = nullptr) {
    for (int i = 0; i < 2000; ++i) {
        const auto written = t.lines();
        for (const auto& j : written) {
            if (j.value("event", "") != "recording_finished") continue;
            if (lines) *lines = written;
            return j;
        }
        usleep(10000);
    }
    return nullptr;
}

}  // namespace

TEST(EngineFinish, StoppedRecordingCompletesWhileTheStreamContinues) {
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
    std::vector<Json> lines;
    const Json finished = finishedEvent(t, &lines);
    const Json& record = finished["recording"];
    EXPECT_EQ(record.size(), 15u);
    EXPECT_EQ(record["state"], "complete");
    EXPECT_EQ(record["reason"], "stop");
    EXPECT_EQ(record["devicesReleased"], false);
    EXPECT_EQ(record["streamContinues"], true);
    EXPECT_EQ(record["error"], nullptr);
    EXPECT_EQ(record["requestedDurationMs"], 10000);
    EXPECT_GT(record["videoSamples"].get<int>(), 0);
    EXPECT_EQ(finished["stateSequence"], before + 2);
    EXPECT_FALSE(has(lines, "closed"));

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

TEST(EngineFinish, OutcomeFollowsHowTheRecordingEnded) {
    struct Case {
        const char* how;
        int frames;
        const char* state;  // null: "partial" when bytes were written, else "failed"
        bool error;
    };
    // The file-size limit never counts as complete; a recording without frames is cancelled; the
    // recording deadline ends it through the watchdog.
    for (const Case& c : {Case{"limit", 5, "partial", true}, Case{"duration", 0, nullptr, true},
                          Case{"watchdog", 5, "complete", false}}) {
        SCOPED_TRACE(c.how);
        EngineUnderTest t;
        t.onControl([&](qv::Engine& e) {
            e.connection = "connected";
            startRecording(e, c.frames);
            if (std::string(c.how) == "watchdog") {
                e.armWatchdog(0.05, "duration");
            } else {
                e.finish(c.how, false);
            }
        });
        const Json record = finishedEvent(t)["recording"];
        EXPECT_EQ(record["streamContinues"], true);
        EXPECT_EQ(record["state"], c.state ? c.state : record["bytes"].get<int>() > 0 ? "partial" : "failed");
        if (c.error) {
            EXPECT_EQ(record["error"],
                      (Json{{"code", "CAPTURE_PARTIAL"}, {"message", "Capture did not complete normally"}}));
        }
        if (c.frames == 0) {
            EXPECT_EQ(record["durationMs"], 0);
        }
        t.onControl([](qv::Engine& e) { EXPECT_EQ(e.watchdog, nullptr); });
    }
}

TEST(EngineFinish, CloseDuringARecordingFinishWaitsForTheReport) {
    const auto [lines, seconds] = linesOfExitingEngine(
        [](EngineUnderTest& t) {
            t.onControl([](qv::Engine& e) {
                e.connection = "connected";
                e.session = runningSession(true);
                startRecording(e, 5);
                e.finish("stop", false);
                e.close("00000000-0000-4000-8000-000000000002", "close");
                if (!e.shutdown || e.connection != "connected") std::abort();
            });
        },
        0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["recording"]["reason"], "stop");
    EXPECT_EQ(lines[0]["recording"]["state"], "complete");
    EXPECT_EQ(lines[1]["requestId"], "00000000-0000-4000-8000-000000000002");
    EXPECT_EQ(lines[1]["result"]["closed"], true);
    EXPECT_EQ(lines[2]["event"], "closed");
}

TEST(EngineFinish, UnconfirmedReleaseLeavesTheRecordingPartialAndExitsTwo) {
    const auto [lines, seconds] = linesOfExitingEngine(
        [](EngineUnderTest& t) {
            t.onControl([](qv::Engine& e) {
                e.connection = "connected";
                e.session = runningSession(false);
                startRecording(e, 5);
                e.close("00000000-0000-4000-8000-000000000003", "close");
            });
        },
        2);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["recording"]["reason"], "close");
    EXPECT_EQ(lines[0]["recording"]["devicesReleased"], false);
    EXPECT_EQ(lines[0]["recording"]["state"], "partial");
    EXPECT_EQ(lines[1]["result"]["closed"], false);
    EXPECT_EQ(lines[2]["event"], "closed");
    EXPECT_EQ(lines[2]["devicesReleased"], false);
}

TEST(EngineFinish, StopThatNeverEndsIsTerminatedByTheFinishTimeout) {
    const auto [lines, seconds] = linesOfExitingEngine(
        [](EngineUnderTest& t) {
            t.onControl([](qv::Engine& e) {
                e.connection = "connected";
                e.session = runningSession(true, 60.0);
                e.finish("disconnect", false);
            });
        },
        2);
    EXPECT_GE(seconds, 15.0);
    EXPECT_LT(seconds, 25.0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["event"], "fatal");
    EXPECT_EQ(lines[0]["error"]["code"], "NATIVE_FINISH_TIMEOUT");
}
