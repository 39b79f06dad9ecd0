#include "device/simulated/PacedLoop.h"

#include <memory>

namespace qv {

PacedLoop::~PacedLoop() {
    stop();
}

void PacedLoop::start(std::string name, double periodSeconds, std::function<bool()> step, double firstDelay) {
    stop();
    // The timer may fail to be made (it needs descriptors): the loop keeps the queue only once its
    // timer exists, so a failed start leaves nothing half made for stop() to meet.
    auto queue = std::make_unique<Queue>(std::move(name));
    timer_.emplace(*queue);
    queue_ = std::move(queue);
    Timer* timer = &*timer_;
    // One step for every tick: the timer runs a copy of its handler, and a step keeps its state.
    auto shared = std::make_shared<std::function<bool()>>(std::move(step));
    timer_->start(firstDelay, periodSeconds, [timer, shared] {
        if (!(*shared)()) timer->cancel();
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
