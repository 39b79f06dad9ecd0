#include "engine/PassivePermissionSnapshot.h"

#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <vector>

namespace qv {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// One call: a status read by a passive caller while connected, by an active one, by a passive one while
// not connected, or fresh(); the clock readings it gets (the last one repeats); how many permission
// reads have happened once it returns. Written as poll({10.0, 10.01}, 1).
enum class Call { poll, active, away, fresh };
struct Step {
    Call call;
    std::deque<double> clock;
    int reads;
};
struct Kind {
    Call call;
    Step operator()(std::deque<double> clock, int reads) const { return {call, std::move(clock), reads}; }
};
const Kind poll{Call::poll}, active{Call::active}, away{Call::away}, fresh{Call::fresh};

void run(const char* scenario, const std::vector<Step>& steps) {
    std::deque<double> times;
    double last = 0;
    int reads = 0;
    PassivePermissionSnapshot snapshot(
        [&] {
            if (!times.empty()) last = times.front(), times.pop_front();
            return last;
        },
        [&] {
            return Json{{"audio", std::to_string(++reads)}};
        });
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(std::string(scenario) + ", step " + std::to_string(i));
        times = steps[i].clock;
        const Call call = steps[i].call;
        const Json result = call == Call::fresh
                                ? snapshot.fresh()
                                : snapshot.forStatus(call != Call::away, call != Call::active);
        EXPECT_EQ(result["audio"], std::to_string(reads));
        EXPECT_EQ(reads, steps[i].reads);
    }
}

TEST(PassivePermissionSnapshotTest, CachedUnderOneSecondOnlyForPassiveConnectedCallersAndASaneClock) {
    // A poll served from the cache reads the clock once; one that reads reads it before and after.
    run("repeated polls within a second share one reading",
        {poll({10.0, 10.01}, 1), poll({10.5}, 1), poll({10.999}, 1), poll({11.0, 11.0}, 2)});
    run("only passive callers while connected get the cache; others drop it",
        {poll({10.0}, 1), active({10.1}, 2), poll({10.2}, 3), away({10.3}, 4), away({10.3}, 5),
         poll({10.4}, 6)});
    run("fresh always reads and forgets the cache", {poll({10.0}, 1), fresh({}, 2), poll({10.1}, 3)});
    run("a backward clock drops the cache, before or during the read",
        {poll({10.0}, 1), poll({9.5, 9.6}, 2), poll({9.7}, 3), poll({9.8}, 3), fresh({}, 4),
         poll({20.0, 19.0}, 5), poll({19.1}, 6)});
    // The broken clock forgot its last value, so an earlier time afterwards is not "backward".
    run("a non-finite clock drops the cache and its history",
        {poll({10.0}, 1), poll({nan, 10.1}, 2), poll({10.2, inf}, 3), poll({5.0}, 4), poll({5.5}, 4)});
    run("a read that took a second or more is not cached",
        {poll({10.0, 11.0}, 1), poll({11.1}, 2), poll({11.2}, 2)});
}

}  // namespace
}  // namespace qv
