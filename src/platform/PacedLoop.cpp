#include "platform/PacedLoop.h"

#include <pthread.h>

#include <chrono>

namespace qv {

PacedLoop::~PacedLoop() {
    stop();
}

void PacedLoop::start(std::string name, double periodSeconds, std::function<bool()> step) {
    stop();
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this, name = std::move(name), periodSeconds, step = std::move(step)] {
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        run(periodSeconds, step);
    });
}

void PacedLoop::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void PacedLoop::run(double periodSeconds, const std::function<bool()>& step) {
    using Clock = std::chrono::steady_clock;
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(periodSeconds));
    auto due = Clock::now();
    bool active = true;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!active) {
            wake_.wait(lock, [this] { return stopping_; });
            break;
        }
        if (wake_.wait_until(lock, due, [this] { return stopping_; })) break;
        lock.unlock();
        active = step();
        lock.lock();
        due += period;
        // After a hiccup, carry on from now rather than catching up in a burst.
        const auto now = Clock::now();
        if (due + period < now) due = now;
    }
}

}  // namespace qv
