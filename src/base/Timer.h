#pragma once

#include "base/Queue.h"

#include <functional>
#include <memory>

namespace qv {

class ManualTime;

// A cancellable one-shot or repeating timer whose handler runs on one queue. Repeating deadlines
// advance from the previous deadline, not from when the handler ran, so a tick never drifts; ticks
// missed while the queue was blocked are skipped, not run in a burst.
// start() and cancel() may be called from any thread; after cancel() returns on the timer's queue
// the handler does not run again.
class Timer {
public:
    explicit Timer(Queue& queue);
    // On `time` instead of the real clock, when given; it must outlive the timer.
    Timer(Queue& queue, ManualTime* time);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // First run `delay` seconds from now; then every `interval` seconds when interval > 0.
    void start(double delay, double interval, std::function<void()> handler);
    void cancel();

    struct State;

private:
    Queue& queue_;
    ManualTime* manual_ = nullptr;
    std::shared_ptr<State> state_;
};

}  // namespace qv
