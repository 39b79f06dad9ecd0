#include "base/Clock.h"
#include "base/ManualTime.h"
#include "base/Queue.h"
#include "base/Runtime.h"
#include "base/Semaphore.h"
#include "base/Timer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace qv;

TEST(Semaphore, WaitIsBoundedAndNoSignalIsLostUnderContention) {
    Semaphore semaphore;
    const double start = mono();
    EXPECT_FALSE(semaphore.wait(0.05));
    EXPECT_GE(mono() - start, 0.05);

    constexpr int perProducer = 20000;
    const auto produce = [&] {
        for (int i = 0; i < perProducer; ++i) semaphore.signal();
    };
    std::thread first(produce), second(produce);
    int acquired = 0;
    while (acquired < 2 * perProducer && semaphore.wait(10)) ++acquired;
    first.join();
    second.join();
    EXPECT_EQ(acquired, 2 * perProducer);
    EXPECT_FALSE(semaphore.wait(0));
}

TEST(Timer, TicksMissedWhileTheQueueWasBlockedAreNotRunInABurst) {
    Queue queue("quorvelle.test");
    Timer timer(queue);
    std::vector<double> times;  // written on the queue only
    Semaphore enough;
    // The first item holds the queue for more than ten periods.
    queue.async([] { std::this_thread::sleep_for(std::chrono::milliseconds(250)); });
    timer.start(0, 0.02, [&] {
        times.push_back(mono());
        if (times.size() == 6) enough.signal();
    });
    ASSERT_TRUE(enough.wait(10));
    queue.sync([&] { timer.cancel(); });
    // Catching up would run the dozen missed ticks back to back; skipping them leaves at most the
    // first tick after the release close to its predecessor (one more is allowed for a stall).
    int bunched = 0;
    for (std::size_t i = 1; i < times.size(); ++i) bunched += times[i] - times[i - 1] < 0.005 ? 1 : 0;
    EXPECT_LE(bunched, 2);
}

TEST(Queue, AnEscapedExceptionGoesToTheHandlerAndTheQueueKeepsServing) {
    std::atomic<int> handled{0};
    setUncaughtTaskHandler([&] { ++handled; });
    Queue queue("quorvelle.test");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("x"); }), std::runtime_error);
    queue.async([] { throw std::runtime_error("lost"); });
    Semaphore later;
    queue.async([&] { later.signal(); });
    EXPECT_TRUE(later.wait(5));
    Semaphore global;
    dispatchGlobal([&] {
        global.signal();
        throw std::runtime_error("global");
    });
    ASSERT_TRUE(global.wait(5));
    // The handler runs after the task's exception left it, just after the signal.
    const double start = mono();
    while (handled < 2 && mono() - start < 10) std::this_thread::yield();
    setUncaughtTaskHandler(nullptr);
    EXPECT_EQ(handled, 2);
}

// A handler that fails itself (its fatal line could not even be queued) must still end the
// process quietly, never let the exception reach the runtime's own message on standard error.
TEST(Queue, AHandlerThatThrowsEndsTheProcessWithStatusTwo) {
    EXPECT_EXIT(
        {
            setUncaughtTaskHandler([] { throw std::runtime_error("handler"); });
            Queue queue("quorvelle.test");
            queue.async([] { throw std::runtime_error("task"); });
            for (;;) pause();
        },
        ::testing::ExitedWithCode(2), "^$");
}

// Timers on manual time run when it passes their deadline, on their queue; a repeating one runs once
// for a long step, not once per missed period; a cancelled one not at all.
TEST(Queue, TimersOnManualTimeRunWhenItIsMovedOn) {
    ManualTime time(100);
    Queue queue("quorvelle.test");
    std::atomic<int> once{0}, repeating{0}, cancelled{0};
    Timer a(queue, &time), b(queue, &time), c(queue, &time);
    a.start(1, 0, [&] { ++once; });
    b.start(0.5, 0.5, [&] { ++repeating; });
    c.start(1, 0, [&] { ++cancelled; });
    c.cancel();
    const auto settled = [&] { queue.sync([] {}); };
    time.advance(0.9);
    settled();
    EXPECT_EQ(once + repeating * 10, 10);
    time.advance(10);
    settled();
    settled();
    EXPECT_EQ(once, 1);
    EXPECT_EQ(repeating, 2);
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(time.now(), 110.9);
}
