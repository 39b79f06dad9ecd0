#include "capture/DeadlineWatchdog.h"
#include "platform/Semaphore.h"
#include "protocol/Clock.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

using namespace qv;

namespace {

std::string threadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

void pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace

TEST(DeadlineWatchdog, UncancelledRunsNormalThenForcedOnItsOwnThread) {
    Semaphore normalRan, forcedRan;
    std::atomic<double> normalAt{0}, forcedAt{0};
    std::string normalThread, forcedThread;
    const double start = mono();
    DeadlineWatchdog watchdog(
        0.025, 0.05,
        [&] {
            normalAt = mono();
            normalThread = threadName();
            normalRan.signal();
        },
        [&] {
            forcedAt = mono();
            forcedThread = threadName();
            forcedRan.signal();
        });
    ASSERT_TRUE(normalRan.wait(5));
    ASSERT_TRUE(forcedRan.wait(5));
    EXPECT_GE(normalAt - start, 0.025);
    EXPECT_GE(forcedAt - start, 0.075);
    EXPECT_GE(forcedAt, normalAt);
    EXPECT_EQ(normalThread, "qv.deadline");
    EXPECT_EQ(forcedThread, "qv.deadline");
    // Each stage runs once.
    pause(0.1);
    EXPECT_FALSE(normalRan.wait(0));
    EXPECT_FALSE(forcedRan.wait(0));
    watchdog.cancel();
    watchdog.cancel();
}

TEST(DeadlineWatchdog, CancelOrReleaseBeforeTheDeadlineStopsBothStages) {
    std::atomic<int> runs{0};
    DeadlineWatchdog cancelled(
        0.1, 0.1, [&] { ++runs; }, [&] { ++runs; });
    cancelled.cancel();
    auto released = std::make_unique<DeadlineWatchdog>(
        0.1, 0.1, [&] { ++runs; }, [&] { ++runs; });
    released.reset();
    pause(0.4);
    EXPECT_EQ(runs, 0);
}

TEST(DeadlineWatchdog, OrderlyWindDownThatCancelsStopsTheForcedStage) {
    std::atomic<int> forcedRuns{0};
    Semaphore normalRan;
    DeadlineWatchdog* self = nullptr;
    std::mutex constructed;
    std::unique_lock hold(constructed);
    DeadlineWatchdog watchdog(
        0, 0.05,
        [&] {
            std::lock_guard wait(constructed);
            self->cancel();
            normalRan.signal();
        },
        [&] { ++forcedRuns; });
    self = &watchdog;
    hold.unlock();
    ASSERT_TRUE(normalRan.wait(5));
    pause(0.3);
    EXPECT_EQ(forcedRuns, 0);
}

TEST(DeadlineWatchdog, CancelStopsAStageWhoseTimerAlreadyFired) {
    // The normal stage holds the watchdog's queue while the forced timer fires behind it; the
    // forced stage must still see the cancel made in between.
    Semaphore normalStarted, releaseNormal;
    std::atomic<int> forcedRuns{0};
    DeadlineWatchdog watchdog(
        0, 0.01,
        [&] {
            normalStarted.signal();
            releaseNormal.wait(10);
        },
        [&] { ++forcedRuns; });
    ASSERT_TRUE(normalStarted.wait(5));
    pause(0.1);  // past the forced deadline
    watchdog.cancel();
    releaseNormal.signal();
    pause(0.1);
    EXPECT_EQ(forcedRuns, 0);
}

TEST(DeadlineWatchdog, MayBeReleasedFromItsOwnHandler) {
    std::mutex lock;
    std::unique_ptr<DeadlineWatchdog> owner;
    Semaphore released;
    std::atomic<int> forcedRuns{0};
    {
        std::lock_guard guard(lock);
        owner = std::make_unique<DeadlineWatchdog>(
            0, 0.05,
            [&] {
                std::lock_guard inner(lock);
                owner.reset();
                released.signal();
            },
            [&] { ++forcedRuns; });
    }
    ASSERT_TRUE(released.wait(5));
    pause(0.2);
    EXPECT_EQ(forcedRuns, 0);
}
