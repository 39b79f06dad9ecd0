#include "device/simulated/SimulatedVideoInput.h"

#include "base/Clock.h"
#include "device/VideoDataOutput.h"
#include "device/simulated/SimulatedFrameSchedule.h"
#include "media/TestPicture.h"

#include <chrono>
#include <cmath>
#include <cstring>
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

SimulatedVideoInput::SimulatedVideoInput(CaptureDeviceRef device, SimulatedVideoDevice config,
                                         std::shared_ptr<SimulatedSessionClock> clock)
    : CaptureInput(std::move(device)), config_(std::move(config)), clock_(std::move(clock)) {}

SimulatedVideoInput::~SimulatedVideoInput() {
    loop_.stop();
}

bool SimulatedVideoInput::start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) {
    pause(config_.startDelayMs);
    if (config_.startFailure == SimulatedStartFailure::start) return false;
    const auto output = findOutput<VideoDataOutput>(outputs);
    auto schedule = std::make_shared<SimulatedFrameSchedule>(config_);
    const double interval = 1.0 / config_.fps;
    const double origin = clock_->join();
    // The next slot of the session's grid; the first input to start is on it already.
    const double due = std::ceil((mono() - origin) / interval - 0.01);
    // One frame for each slot of the grid. With marks, a frame carries the instant it was due, as a
    // camera's driver stamps the moment of capture, and a late tick also delivers the frames of the
    // slots it fell behind by (a few at most), as a camera's queue holds them for a late reader.
    // Without marks, one frame a tick, stamped when it is made.
    const bool stamped = clock_->hasMarks();
    auto produce = [schedule, output, clock = clock_, origin, interval, stamped,
                    marks = clock_->marksBy(mono() - origin)](std::int64_t slot) mutable {
        const auto frame = schedule->next();
        if (!frame) return false;
        const double instant = origin + static_cast<double>(slot) * interval;
        // The marks this slot passed make it white.
        const std::int64_t passed = clock->marksBy(instant - origin);
        const bool white = passed > marks;
        marks = passed;
        if (!output) return true;
        if (frame->dropped) {
            output->reportDropped();
            return true;
        }
        auto pixels = makeFrame(frame->width, frame->height);
        if (frame->width > 0 && frame->height > 0) {
            if (white) {
                std::memset(pixels->data(), 0xFF,
                            pixels->bytesPerRow() * static_cast<std::size_t>(frame->height));
            } else {
                drawTestPicture(*pixels, frame->index);
            }
        }
        output->deliver(std::move(pixels), stamped ? instant : mono());
        return true;
    };
    loop_.start(
        "qv.sim.video", interval,
        [produce, origin, interval, stamped, last = static_cast<std::int64_t>(due) - 1]() mutable {
            // The slot that has begun; a tick may fire a hair early by rounding.
            const auto now = static_cast<std::int64_t>(std::floor((mono() - origin) / interval + 1e-4));
            const std::int64_t slot = std::max(now, last + 1);
            for (std::int64_t s = stamped ? std::max(last + 1, slot - 3) : slot; s <= slot; ++s) {
                if (!produce(s)) return false;
            }
            last = slot;
            return true;
        },
        origin + due * interval - mono());
    return true;
}

void SimulatedVideoInput::stop() {
    if (!loop_.running()) return;
    loop_.stop();
    clock_->leave();
    pause(config_.stopDelayMs);
}

bool SimulatedVideoInput::release() {
    return !config_.releaseFails;
}

}  // namespace qv
