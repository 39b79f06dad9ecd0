#include "device/CaptureInput.h"
#include "device/CaptureSession.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace qv;

namespace {

struct FakeDevice final : CaptureDevice {
    explicit FakeDevice(MediaType media) : media_(media) {}
    MediaType mediaType() const override { return media_; }
    const std::string& uniqueId() const override { return text_; }
    const std::string& localizedName() const override { return text_; }
    const std::vector<VideoFormat>& formats() const override { return formats_; }
    std::optional<VideoFormat> activeFormat() const override { return std::nullopt; }
    double activeMinFrameDuration() const override { return 0; }
    double activeMaxFrameDuration() const override { return 0; }
    std::shared_ptr<CaptureInput> createInput() override { return nullptr; }

private:
    MediaType media_;
    std::string text_;
    std::vector<VideoFormat> formats_;
};

// An input whose start succeeds, gives up or throws (as one does that cannot make its thread).
struct FakeInput final : CaptureInput {
    enum class Start { runs, givesUp, throws };
    FakeInput(MediaType media, Start start)
        : CaptureInput(std::make_shared<FakeDevice>(media)), start_(start) {}
    bool start(const std::vector<std::shared_ptr<CaptureOutput>>&) override {
        if (start_ == Start::throws) throw std::runtime_error("no thread");
        running = start_ == Start::runs;
        return running;
    }
    void stop() override { running = false; }
    bool release() override { return !running; }

    bool running = false;

private:
    Start start_;
};

}  // namespace

TEST(CaptureSession, AnInputThatGivesUpOrThrowsStopsTheOnesStartedBeforeIt) {
    for (const auto second : {FakeInput::Start::givesUp, FakeInput::Start::throws}) {
        SCOPED_TRACE(static_cast<int>(second));
        auto video = std::make_shared<FakeInput>(MediaType::video, FakeInput::Start::runs);
        auto audio = std::make_shared<FakeInput>(MediaType::audio, second);
        CaptureSession session;
        session.addInput(video);
        session.addInput(audio);
        if (second == FakeInput::Start::throws) {
            EXPECT_THROW(session.startRunning(), std::runtime_error);
        } else {
            session.startRunning();
        }
        EXPECT_FALSE(session.isRunning());
        EXPECT_FALSE(video->running);
        EXPECT_TRUE(video->release());
    }
}
