#pragma once

#include <atomic>
#include <functional>

namespace qv {

// A piece of work that runs at most once and can be cancelled before it runs. The cadence timer
// hands one to its scheduler, so a scheduler that cannot cancel its own delay (or a test that
// keeps the item and runs it by hand) still never runs work that was withdrawn.
class WorkItem {
public:
    explicit WorkItem(std::function<void()> work);
    WorkItem(const WorkItem&) = delete;
    WorkItem& operator=(const WorkItem&) = delete;

    // Runs the work unless it was cancelled or has already run.
    void perform();
    void cancel();
    bool isCancelled() const { return cancelled_.load(); }

private:
    std::function<void()> work_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> performed_{false};
};

}  // namespace qv
