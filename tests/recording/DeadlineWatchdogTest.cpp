#include "base/Semaphore.h"
#include "recording/DeadlineWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>

using namespace qv;

namespace {

// Waits until a fresh watchdog's forced stage, due `seconds` from now, has run: by then every
// stage that was due earlier has had its timer fire too.
void waitPast(double seconds) {
    Semaphore fired;
    DeadlineWatchdog sentinel(
        0, seconds, [] {}, [&] { fired.signal(); });
    ASSERT_TRUE(fired.wait(10));
}

}  // namespace

// The plain run is the watchdog self-test's; these are the cancellation races around it.
TEST(DeadlineWatchdog, CancelOrReleaseStopsTheForcedStageEvenOnceItsTimerFired) {
    std::atomic<int> forcedRuns{0};
    const auto run = [&] { ++forcedRuns; };
    DeadlineWatchdog(0.1, 0.1, run, run).cancel();
    std::make_unique<DeadlineWatchdog>(0.1, 0.1, run, run).reset();
    // The normal stage holds the watchdog's queue while the forced timer fires behind it; the
    // forced stage must still see the cancel made in between.
    Semaphore normalStarted, releaseNormal;
    DeadlineWatchdog held(
        0, 0.01,
        [&] {
            normalStarted.signal();
            releaseNormal.wait(10);
        },
        run);
    ASSERT_TRUE(normalStarted.wait(5));
    waitPast(0.05);
    held.cancel();
    releaseNormal.signal();

    // A handler may release its own watchdog.
    std::mutex lock;
    std::unique_ptr<DeadlineWatchdog> owner;
    Semaphore released;
    {
        std::lock_guard guard(lock);
        owner = std::make_unique<DeadlineWatchdog>(
            0, 0.05,
            [&] {
                std::lock_guard inner(lock);
                owner.reset();
                released.signal();
            },
            run);
    }
    ASSERT_TRUE(released.wait(5));
    waitPast(0.2);
    EXPECT_EQ(forcedRuns, 0);
}
