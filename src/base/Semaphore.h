#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qv {

// A counting semaphore with a bounded wait, for threads that must not wait forever. Built on a
// mutex and a condition variable: libstdc++'s std::counting_semaphore can lose a wake-up under
// contention (GCC bug 98033), which would turn a prompt signal into a timed-out wait.
class Semaphore {
public:
    explicit Semaphore(int initial = 0) : count_(initial) {}
    // Notifies under the lock, so that a waiter that returns and destroys the semaphore cannot race
    // this call.
    void signal() {
        std::lock_guard guard(lock_);
        count_ += 1;
        changed_.notify_one();
    }
    // True when signalled within `seconds`.
    bool wait(double seconds) {
        const auto timeout = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(!(seconds > 0) ? 0 : std::min(seconds, 1e8)));
        std::unique_lock guard(lock_);
        if (!changed_.wait_for(guard, timeout, [this] { return count_ > 0; })) return false;
        count_ -= 1;
        return true;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int count_;
};

}  // namespace qv
