#include "engine/PassivePermissionSnapshot.h"

#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <vector>

namespace qv {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// One call: a status read (state, passive) or, with no state, fresh(); the clock readings it gets
// (the last one repeats); how many permission reads have happened once it returns.
struct Step {
    const char* state;
    bool passive;
    std::deque<double> clock;
    int reads;
};

void run(const char* scenario, const std::vector<Step>& steps) {
    std::deque<double> times;
    double last = 0;
    int reads = 0;
    PassivePermissionSnapshot snapshot(
        [&] {
            if (!times.empty()) {
                last = times.front();
                times.pop_front();
            }
            return last;
        },
        [&] {
            return Json{{"audio", std::to_string(++reads)}};
        });
    std::size_t index = 0;
    for (const Step& step : steps) {
        times = step.clock;
        if (step.state) {
            const Json result = snapshot.forStatus(std::string(step.state) == "connected", step.passive);
            EXPECT_EQ(result["audio"], std::to_string(reads)) << scenario << " step " << index;
        } else {
            snapshot.fresh();
        }
        EXPECT_EQ(reads, step.reads) << scenario << " step " << index++;
    }
}

TEST(PassivePermissionSnapshotTest, CachedUnderOneSecondOnlyForPassiveConnectedCallersAndASaneClock) {
    // A poll served from the cache reads the clock once; one that reads reads it before and after.
    run("repeated polls within a second share one reading", {{"connected", true, {10.0, 10.01}, 1},
                                                             {"connected", true, {10.5}, 1},
                                                             {"connected", true, {10.999}, 1},
                                                             {"connected", true, {11.0, 11.0}, 2}});
    run("only passive callers while connected get the cache; others drop it",
        {{"connected", true, {10.0}, 1},
         {"connected", false, {10.1}, 2},
         {"connected", true, {10.2}, 3},
         {"disconnected", true, {10.3}, 4},
         {"connecting", true, {10.3}, 5},
         {"connected", true, {10.4}, 6}});
    run("fresh always reads and forgets the cache",
        {{"connected", true, {10.0}, 1}, {nullptr, false, {}, 2}, {"connected", true, {10.1}, 3}});
    run("a backward clock drops the cache, before or during the read", {{"connected", true, {10.0}, 1},
                                                                        {"connected", true, {9.5, 9.6}, 2},
                                                                        {"connected", true, {9.7}, 3},
                                                                        {"connected", true, {9.8}, 3},
                                                                        {nullptr, false, {}, 4},
                                                                        {"connected", true, {20.0, 19.0}, 5},
                                                                        {"connected", true, {19.1}, 6}});
    // The broken clock forgot its last value, so an earlier time afterwards is not "backward".
    run("a non-finite clock drops the cache and its history", {{"connected", true, {10.0}, 1},
                                                               {"connected", true, {nan, 10.1}, 2},
                                                               {"connected", true, {10.2, inf}, 3},
                                                               {"connected", true, {5.0}, 4},
                                                               {"connected", true, {5.5}, 4}});
    run("a read that took a second or more is not cached", {{"connected", true, {10.0, 11.0}, 1},
                                                            {"connected", true, {11.1}, 2},
                                                            {"connected", true, {11.2}, 2}});
}

}  // namespace
}  // namespace qv
