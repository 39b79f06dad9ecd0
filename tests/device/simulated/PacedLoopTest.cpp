#include "TestSupport.h"
#include "device/simulated/PacedLoop.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <asio/error.hpp>

#include <atomic>
#include <cerrno>

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
    const auto runs = [&loop] {
        std::atomic<int> steps{0};
        loop.start("qv.test.loop", 0.001, [&steps] { return ++steps < 3; });
        const bool ran = loop.running() && qvtest::waitUntil([&steps] { return steps == 3; });
        loop.stop();
        return ran && !loop.running();
    };
    // Once before as well, and an error like the one to come: the sanitizers check the types involved
    // the first time they meet them, through a pipe.
    EXPECT_TRUE(runs());
    EXPECT_NE(asio::error_code(EMFILE, asio::error::get_system_category()).message(), "");
    {
        NoFreeDescriptors none;
        EXPECT_THROW(loop.start("qv.test.loop", 0.001, [] { return true; }), std::exception);
    }
    EXPECT_FALSE(loop.running());
    loop.stop();
    EXPECT_TRUE(runs());
}
