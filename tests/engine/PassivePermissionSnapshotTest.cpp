#include "engine/PassivePermissionSnapshot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>

namespace qv {
namespace {

// A clock that returns scripted values, then repeats the last one; and a reader that counts.
struct Harness {
    std::deque<double> times;
    double last = 0;
    int reads = 0;
    PassivePermissionSnapshot snapshot{
        [this] {
            if (!times.empty()) {
                last = times.front();
                times.pop_front();
            }
            return last;
        },
        [this] {
            ++reads;
            return Json{{"video", "authorized"}, {"audio", std::to_string(reads)}};
        }};

    // One status poll while connected, with the clock reading `before` and then `after` the read.
    Json poll(double before, double after) {
        times = {before, after};
        return snapshot.forStatus("connected", true);
    }
    // A poll served from the cache reads the clock only once.
    Json cachedPoll(double at) {
        times = {at};
        return snapshot.forStatus("connected", true);
    }
};

TEST(PassivePermissionSnapshotTest, RepeatedPollsWithinASecondShareOneReading) {
    Harness h;
    const Json first = h.poll(10.0, 10.01);
    EXPECT_EQ(h.cachedPoll(10.5), first);
    EXPECT_EQ(h.cachedPoll(10.999), first);
    EXPECT_EQ(h.reads, 1);
    // One second after the moment before the read, it is read again.
    EXPECT_NE(h.poll(11.0, 11.0), first);
    EXPECT_EQ(h.reads, 2);
}

TEST(PassivePermissionSnapshotTest, OnlyPassiveCallersWhileConnectedGetTheCache) {
    Harness h;
    h.poll(10.0, 10.0);
    h.times = {10.1};
    h.snapshot.forStatus("connected", false);
    EXPECT_EQ(h.reads, 2);
    // The non-passive read dropped the cache, so the next poll reads again.
    h.poll(10.2, 10.2);
    EXPECT_EQ(h.reads, 3);
    for (const char* state : {"disconnected", "connecting", "stopping", "failed"}) {
        h.times = {10.3};
        h.snapshot.forStatus(state, true);
    }
    EXPECT_EQ(h.reads, 7);
    h.poll(10.4, 10.4);
    EXPECT_EQ(h.reads, 8);
}

TEST(PassivePermissionSnapshotTest, FreshAlwaysReadsAndForgetsTheCache) {
    Harness h;
    h.poll(10.0, 10.0);
    h.snapshot.fresh();
    EXPECT_EQ(h.reads, 2);
    h.poll(10.1, 10.1);
    EXPECT_EQ(h.reads, 3);
}

TEST(PassivePermissionSnapshotTest, ABackwardClockDropsTheCache) {
    Harness h;
    h.poll(10.0, 10.0);
    // Backward before the read: read again and do not cache.
    h.poll(9.5, 9.6);
    EXPECT_EQ(h.reads, 2);
    h.poll(9.7, 9.7);
    EXPECT_EQ(h.reads, 3);
    // Now cached at 9.7; a step back during the read itself keeps it from being cached.
    h.cachedPoll(9.8);
    EXPECT_EQ(h.reads, 3);
    h.snapshot.fresh();
    h.poll(20.0, 19.0);
    h.poll(19.1, 19.1);
    EXPECT_EQ(h.reads, 6);
}

TEST(PassivePermissionSnapshotTest, ANonFiniteClockDropsTheCacheAndItsHistory) {
    Harness h;
    h.poll(10.0, 10.0);
    h.poll(std::numeric_limits<double>::quiet_NaN(), 10.1);
    EXPECT_EQ(h.reads, 2);
    h.poll(10.2, std::numeric_limits<double>::infinity());
    EXPECT_EQ(h.reads, 3);
    // The broken clock forgot its last value, so an earlier time afterwards is not "backward".
    h.poll(5.0, 5.0);
    EXPECT_EQ(h.reads, 4);
    h.cachedPoll(5.5);
    EXPECT_EQ(h.reads, 4);
}

TEST(PassivePermissionSnapshotTest, ASlowReadIsNotCached) {
    Harness h;
    h.poll(10.0, 11.0);
    h.poll(11.1, 11.1);
    EXPECT_EQ(h.reads, 2);
    h.cachedPoll(11.2);
    EXPECT_EQ(h.reads, 2);
}

}  // namespace
}  // namespace qv
