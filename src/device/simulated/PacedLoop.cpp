#include "device/simulated/PacedLoop.h"

namespace qv {

PacedLoop::~PacedLoop() {
    stop();
}

void PacedLoop::start(std::string name, double periodSeconds, std::function<bool()> step) {
    stop();
    // The timer may fail to be made (it needs descriptors): the loop keeps the queue only once its
    // timer exists, so a failed start leaves nothing half made for stop() to meet.
    auto queue = std::make_unique<Queue>(std::move(name));
    timer_.emplace(*queue);
    queue_ = std::move(queue);
    Timer* timer = &*timer_;
    timer_->start(0, periodSeconds, [timer, step = std::move(step)] {
        if (!step()) timer->cancel();
    });
}

void PacedLoop::stop() {
    if (!queue_) return;
    timer_->cancel();
    // Behind the step in progress, if any: after it no tick runs, so the timer can go, then the
    // queue it posts to.
    queue_->sync([] {});
    timer_.reset();
    queue_.reset();
}

}  // namespace qv
