#include "recording/DeadlineWatchdog.h"

#include <thread>

namespace qv {

namespace {

// The handler of one stage: `active` is read under the lock immediately before the stage runs, so
// a cancel() that has returned stops even a stage whose timer already fired; the stage itself runs
// without the lock, so it may call cancel().
std::function<void()> stage(std::shared_ptr<DeadlineWatchdog::Flag> flag, std::function<void()> handler) {
    return [flag = std::move(flag), handler = std::move(handler)] {
        bool active = false;
        {
            std::lock_guard guard(flag->lock);
            active = flag->active;
        }
        if (active && handler) handler();
    };
}

}  // namespace

DeadlineWatchdog::DeadlineWatchdog(double seconds, double grace, std::function<void()> normal,
                                   std::function<void()> forced)
    : queue_(std::make_unique<Queue>("quorvelle.native.deadline")),
      flag_(std::make_shared<Flag>()),
      deadlineTimer_(std::in_place, *queue_),
      forceTimer_(std::in_place, *queue_) {
    deadlineTimer_->start(seconds, 0, stage(flag_, std::move(normal)));
    forceTimer_->start(seconds + grace, 0, stage(flag_, std::move(forced)));
}

DeadlineWatchdog::~DeadlineWatchdog() {
    cancel();
    // The timers go before their queue.
    deadlineTimer_.reset();
    forceTimer_.reset();
    if (queue_->isCurrent()) {
        // Released from inside one of its own handlers: the queue's thread is still running that
        // handler, so it is stopped and joined from elsewhere once the handler returns.
        std::thread([queue = std::move(queue_)]() mutable { queue.reset(); }).detach();
    }
}

void DeadlineWatchdog::cancel() {
    {
        std::lock_guard guard(flag_->lock);
        flag_->active = false;
    }
    deadlineTimer_->cancel();
    forceTimer_->cancel();
}

}  // namespace qv
