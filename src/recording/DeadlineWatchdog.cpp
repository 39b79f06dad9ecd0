#include "recording/DeadlineWatchdog.h"

#include <system_error>
#include <thread>

namespace qv {

namespace {

// The handler of one stage of one arming: whether that arming is still the active one is read
// under the lock immediately before the stage runs, so a cancel() or re-arm that has returned
// stops even a stage whose timer already fired; the stage itself runs without the lock, so it
// may call cancel().
std::function<void()> stage(std::shared_ptr<DeadlineWatchdog::Flag> flag, std::uint64_t arming,
                            std::function<void()> handler) {
    return [flag = std::move(flag), arming, handler = std::move(handler)] {
        bool active = false;
        {
            std::lock_guard guard(flag->lock);
            active = flag->active == arming;
        }
        if (active && handler) handler();
    };
}

}  // namespace

DeadlineWatchdog::DeadlineWatchdog(ManualTime* time)
    : queue_(std::make_unique<Queue>("quorvelle.native.deadline")),
      flag_(std::make_shared<Flag>()),
      deadlineTimer_(std::in_place, *queue_, time),
      forceTimer_(std::in_place, *queue_, time) {}

DeadlineWatchdog::DeadlineWatchdog(double seconds, double grace, std::function<void()> normal,
                                   std::function<void()> forced)
    : DeadlineWatchdog() {
    arm(seconds, grace, std::move(normal), std::move(forced));
}

DeadlineWatchdog::~DeadlineWatchdog() {
    cancel();
    // The timers go before their queue.
    deadlineTimer_.reset();
    forceTimer_.reset();
    if (queue_->isCurrent()) {
        // Released from inside one of its own handlers: the queue's thread is still running that
        // handler, so it is stopped and joined from elsewhere once the handler returns.
        Queue* queue = queue_.release();
        try {
            std::thread([queue] { delete queue; }).detach();
        } catch (const std::system_error&) {
            // Out of threads: the idle queue is left behind rather than joined from itself.
        }
    }
}

void DeadlineWatchdog::arm(double seconds, double grace, std::function<void()> normal,
                           std::function<void()> forced) {
    std::uint64_t arming = 0;
    {
        std::lock_guard guard(flag_->lock);
        arming = ++flag_->armings;
        flag_->active = arming;
    }
    deadlineTimer_->start(seconds, 0, stage(flag_, arming, std::move(normal)));
    forceTimer_->start(seconds + grace, 0, stage(flag_, arming, std::move(forced)));
}

void DeadlineWatchdog::cancel() {
    {
        std::lock_guard guard(flag_->lock);
        flag_->active = 0;
    }
    deadlineTimer_->cancel();
    forceTimer_->cancel();
}

bool DeadlineWatchdog::armed() const {
    std::lock_guard guard(flag_->lock);
    return flag_->active != 0;
}

}  // namespace qv
