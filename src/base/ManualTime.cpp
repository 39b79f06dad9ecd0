#include "base/ManualTime.h"

#include <utility>
#include <vector>

namespace qv {

ManualTime::ManualTime(double start) : now_(start) {}

double ManualTime::now() const {
    std::lock_guard guard(lock_);
    return now_;
}

void ManualTime::advance(double seconds) {
    std::vector<std::pair<double, std::function<void(double)>>> fired;
    {
        std::lock_guard guard(lock_);
        now_ += seconds;
        const auto end = due_.upper_bound(now_);
        for (auto it = due_.begin(); it != end; ++it) fired.emplace_back(it->first, std::move(it->second));
        due_.erase(due_.begin(), end);
    }
    // Outside the lock: a handler may schedule again.
    for (auto& [deadline, fire] : fired) fire(deadline);
}

void ManualTime::schedule(double deadline, std::function<void(double)> fire) {
    std::lock_guard guard(lock_);
    due_.emplace(deadline, std::move(fire));
}

}  // namespace qv
