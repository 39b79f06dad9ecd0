#include "EngineTestSupport.h"

#include "recording/Movie.h"
#include "engine/PlayerName.h"
#include "engine/Screenshot.h"
#include "files/OwnedFiles.h"
#include "device/CaptureSession.h"
#include "base/Semaphore.h"
#include "device/simulated/SimulatedDeviceSystem.h"
#include "base/Uuid.h"
#include "protocol/RequestReader.h"

#include <gtest/gtest.h>

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

// A camera that streams nothing and takes a minute to stop.
class HangingInput : public qv::CaptureInput {
public:
    HangingInput() : CaptureInput(std::make_shared<StubDevice>()) {}
    bool start(const std::vector<std::shared_ptr<qv::CaptureOutput>>&) override { return true; }
    void stop() override { std::this_thread::sleep_for(std::chrono::seconds(60)); }
    bool release() override { return true; }
};

// The "recording_finished" event, once written (null after 20 s).
Json finishedEvent(EngineUnderTest& t) {
    for (int i = 0; i < 2000; ++i) {
        for (const auto& j : t.lines()) {
            if (j.value("event", "") == "recording_finished") return j;
        }
        usleep(10000);
    }
    return nullptr;
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

TEST(Engine, AnUndeterminedPermissionIsNotRequestedWhileConnected) {
    const auto config = Json{{"permissions", {{"video", "not_determined"}}}};
    EngineUnderTest t(
        std::make_shared<qv::SimulatedDeviceSystem>(qv::SimulatedDeviceConfig::parse(config.dump())));
    t.onControl([&](qv::Engine& e) {
        e.connection = "connected";
        Json request = EngineUnderTest::request("request_permission");
        request["media"] = "video";
        e.request(request);
        EXPECT_FALSE(e.busy);
    });
    const auto lines = t.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["error"], (Json{{"code", "ALREADY_CONNECTED"},
                                       {"message", "Disconnect before requesting a new media permission"}}));
    EXPECT_EQ(t.devices->authorizationStatus(qv::MediaType::video), qv::AuthorizationStatus::notDetermined);
}

TEST(Engine, ARecordingThatCannotCompleteIsPartialOrFailed) {
    // The file-size limit never counts as complete; a recording without frames is cancelled.
    for (const auto& [how, frames] : {std::pair{"limit", 5}, {"duration", 0}}) {
        SCOPED_TRACE(how);
        EngineUnderTest t;
        t.onControl([&](qv::Engine& e) {
            e.connection = "connected";
            auto pixel = qv::PixelBuffer::create(16, 16);
            const qv::PixelBufferRef frame = pixel;
            e.movie = std::make_shared<qv::Movie>(qv::randomUuid(), 10'000, *e.files, frame, std::nullopt);
            for (int i = 0; i < frames; ++i) {
                // The writer takes frames only while its small queue has room.
                for (int wait = 0; wait < 2000 && !e.movie->writer->isVideoReady(); ++wait) usleep(1000);
                e.movie->recordVideo(frame, 100.0 + i / 60.0);
            }
            e.finish(how, false);
        });
        const Json record = finishedEvent(t)["recording"];
        EXPECT_EQ(record["state"], record["bytes"].get<int>() > 0 ? "partial" : "failed");
        if (frames == 0) {
            EXPECT_EQ(record["durationMs"], 0);
        }
        EXPECT_EQ(record["error"],
                  (Json{{"code", "CAPTURE_PARTIAL"}, {"message", "Capture did not complete normally"}}));
        EXPECT_EQ(record["streamContinues"], true);
    }
}

// Anything that starts closing ends the process, so these run in a child of their own.
TEST(Engine, AfterCloseEveryRequestIsRefusedAndTerminateSendsOneFatal) {
    const auto [lines, seconds] = linesOfExitingEngine(
        [](EngineUnderTest& t) {
            t.onControl([](qv::Engine& e) {
                // A finish in progress holds the close back, so only the forced exit ends it.
                e.finishingOperationID = "f";
                e.close("00000000-0000-4000-8000-000000000009", "close");
                e.request(EngineUnderTest::request("status"));
                e.terminate("INVALID_JSON");
                e.terminate("INVALID_JSON");
            });
        },
        2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["error"], (Json{{"code", "CLOSING"}, {"message", "Helper is closing"}}));
    EXPECT_EQ(lines[1]["event"], "fatal");
    EXPECT_EQ(lines[1]["error"]["code"], "INVALID_JSON");
}

TEST(Engine, StopThatNeverEndsIsTerminatedByTheFinishTimeout) {
    const auto [lines, seconds] = linesOfExitingEngine(
        [](EngineUnderTest& t) {
            t.onControl([](qv::Engine& e) {
                e.connection = "connected";
                e.session = std::make_shared<qv::CaptureSession>();
                e.session->addInput(std::make_shared<HangingInput>());
                e.session->startRunning();
                e.finish("disconnect", false);
            });
        },
        2);
    EXPECT_GE(seconds, 15.0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["error"]["code"], "NATIVE_FINISH_TIMEOUT");
}

// The intake loop lives in the protocol module but needs a whole engine.
TEST(Engine, StalledControlQueueEndsTheProcessWithoutTheEngine) {
    const auto [lines, seconds] = linesOfExitingEngine(
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
