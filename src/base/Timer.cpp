#include "base/Timer.h"

#include "base/FaultInjection.h"
#include "base/ManualTime.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>

namespace qv {

namespace {

std::chrono::steady_clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
}

}  // namespace

struct Timer::State {
    explicit State(asio::io_context& context) : timer(context) {}
    asio::steady_timer timer;
    std::function<void()> handler;
    std::chrono::steady_clock::duration interval{};
    std::atomic<unsigned> generation{0};
};

static void arm(const std::shared_ptr<Timer::State>& state, unsigned generation);

Timer::Timer(Queue& queue) : Timer(queue, nullptr) {}

Timer::Timer(Queue& queue, ManualTime* time) : queue_(queue), manual_(time) {
    FaultInjection::acquire(FaultInjection::Kind::timer);
    state_ = std::make_shared<State>(queue.context());
}

namespace {

// A run on manual time: on the timer's queue, unless cancelled or restarted since; a repeating
// timer first books its next run after the present, skipping missed ones as on real time.
void armManual(ManualTime& time, Queue& queue, const std::shared_ptr<Timer::State>& state,
               unsigned generation, double deadline, double interval, std::function<void()> handler);

}  // namespace

Timer::~Timer() {
    cancel();
}

void Timer::start(double delay, double interval, std::function<void()> handler) {
    const unsigned generation = ++state_->generation;
    auto state = state_;
    if (manual_) {
        armManual(*manual_, queue_, state, generation, manual_->now() + (delay < 0 ? 0 : delay), interval,
                  std::move(handler));
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + toDuration(delay);
    asio::post(queue_.context(), [state, generation, deadline, interval, handler = std::move(handler)] {
        if (state->generation != generation) return;
        state->handler = handler;
        state->interval = interval > 0 ? toDuration(interval) : std::chrono::steady_clock::duration{};
        state->timer.expires_at(deadline);
        arm(state, generation);
    });
}

void Timer::cancel() {
    ++state_->generation;
    auto state = state_;
    asio::post(queue_.context(), [state] { state->timer.cancel(); });
}

static void arm(const std::shared_ptr<Timer::State>& state, unsigned generation) {
    state->timer.async_wait([state, generation](const std::error_code& error) {
        if (error || state->generation != generation) return;
        if (state->interval.count() > 0) {
            // Ticks missed while the queue was busy are dropped rather than run back to back.
            auto next = state->timer.expiry() + state->interval;
            const auto now = std::chrono::steady_clock::now();
            if (next <= now) next += ((now - next) / state->interval + 1) * state->interval;
            state->timer.expires_at(next);
            arm(state, generation);
        }
        auto handler = state->handler;
        handler();
    });
}

namespace {

void armManual(ManualTime& time, Queue& queue, const std::shared_ptr<Timer::State>& state,
               unsigned generation, double deadline, double interval, std::function<void()> handler) {
    // Manual time holds the timer weakly: an entry left behind must not keep the asio timer past
    // its queue, and one whose timer is gone has nowhere to run.
    std::weak_ptr<Timer::State> weak = state;
    time.schedule(deadline, [&time, &queue, weak, generation, interval, handler](double due) {
        auto alive = weak.lock();
        if (!alive) return;
        queue.async([&time, &queue, alive, generation, due, interval, handler] {
            if (alive->generation != generation) return;
            if (interval > 0) {
                double next = due + interval;
                const double now = time.now();
                if (next <= now) next += (static_cast<int>((now - next) / interval) + 1) * interval;
                armManual(time, queue, alive, generation, next, interval, handler);
            }
            handler();
        });
    });
}

}  // namespace

}  // namespace qv
