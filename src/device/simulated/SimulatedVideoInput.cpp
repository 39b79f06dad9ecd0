#include "device/simulated/SimulatedVideoInput.h"

#include "base/Clock.h"
#include "device/VideoDataOutput.h"
#include "device/simulated/SimulatedFrameSchedule.h"
#include "media/TestPicture.h"

#include <chrono>
#include <thread>

namespace qv {

namespace {

void pause(double milliseconds) {
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(milliseconds));
}

std::shared_ptr<PixelBuffer> makeFrame(int width, int height) {
    // An empty frame still has to reach the engine, which rejects it.
    if (width <= 0 || height <= 0) return std::make_shared<PixelBuffer>(width, height, 64);
    return PixelBuffer::create(width, height);
}

}  // namespace

SimulatedVideoInput::SimulatedVideoInput(CaptureDeviceRef device, SimulatedVideoDevice config)
    : CaptureInput(std::move(device)), config_(std::move(config)) {}

SimulatedVideoInput::~SimulatedVideoInput() {
    loop_.stop();
}

bool SimulatedVideoInput::start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) {
    pause(config_.startDelayMs);
    if (config_.startFailure == SimulatedStartFailure::start) return false;
    const auto output = findOutput<VideoDataOutput>(outputs);
    auto schedule = std::make_shared<SimulatedFrameSchedule>(config_);
    loop_.start("qv.sim.video", 1.0 / config_.fps, [schedule, output] {
        const auto frame = schedule->next();
        if (!frame) return false;
        if (!output) return true;
        if (frame->dropped) {
            output->reportDropped();
            return true;
        }
        auto pixels = makeFrame(frame->width, frame->height);
        if (frame->width > 0 && frame->height > 0) drawTestPicture(*pixels, frame->index);
        output->deliver(std::move(pixels), mono());
        return true;
    });
    return true;
}

void SimulatedVideoInput::stop() {
    if (!loop_.running()) return;
    loop_.stop();
    pause(config_.stopDelayMs);
}

bool SimulatedVideoInput::release() {
    return !config_.releaseFails;
}

}  // namespace qv
