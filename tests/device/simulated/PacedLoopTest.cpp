#include "TestSupport.h"
#include "device/simulated/PacedLoop.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>

namespace {

// While it lives, this process can open no further descriptor: the soft limit sits at the lowest
// free number, which is where the next one would go.
class NoFreeDescriptors {
public:
    NoFreeDescriptors() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        const int lowest = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
        ::close(lowest);
        rlimit tight = saved_;
        tight.rlim_cur = static_cast<rlim_t>(lowest);
        ::setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~NoFreeDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    NoFreeDescriptors(const NoFreeDescriptors&) = delete;
    NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;

private:
    rlimit saved_{};
};

}  // namespace

// A simulated device's capture thread whose timer cannot be made (it needs descriptors, its queue
// does not) must fail whole: stopping it afterwards once met the timer that was never made.
TEST(PacedLoop, AStartWhoseTimerCannotBeMadeLeavesNothingAndALaterStartRuns) {
    qv::PacedLoop loop;
    {
        NoFreeDescriptors none;
        EXPECT_THROW(loop.start("qv.test.loop", 0.001, [] { return true; }), std::exception);
    }
    EXPECT_FALSE(loop.running());
    loop.stop();

    std::atomic<int> steps{0};
    loop.start("qv.test.loop", 0.001, [&] { return ++steps < 3; });
    EXPECT_TRUE(loop.running());
    EXPECT_TRUE(qvtest::waitUntil([&] { return steps == 3; }));
    loop.stop();
    EXPECT_FALSE(loop.running());
}
