#pragma once

#include <chrono>
#include <semaphore>

namespace qv {

// A counting semaphore with a bounded wait, for threads that must not wait forever.
class Semaphore {
public:
    explicit Semaphore(int initial = 0) : semaphore_(initial) {}
    void signal() { semaphore_.release(); }
    // True when signalled within `seconds`.
    bool wait(double seconds) {
        return semaphore_.try_acquire_for(std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
    }

private:
    std::counting_semaphore<> semaphore_;
};

}  // namespace qv
