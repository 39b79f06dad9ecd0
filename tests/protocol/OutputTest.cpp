#include "TestSupport.h"
#include "base/Clock.h"
#include "protocol/Output.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <limits>

using namespace qv;

using qvtest::waitUntil;

namespace {

// A pipe standing in for the host: the Output writes to its non-blocking write end, fds[1].
struct HostPipe {
    int fds[2] = {-1, -1};
    HostPipe() {
        ::signal(SIGPIPE, SIG_IGN);
        if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
        fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    }
    ~HostPipe() {
        closeReadEnd();
        ::close(fds[1]);
    }
    // Fills the pipe so that nothing more can be written until the host reads.
    void fill() {
        const std::string block(4096, 'x');
        while (::write(fds[1], block.data(), block.size()) > 0 || ::write(fds[1], block.data(), 1) > 0) {
        }
    }
    void closeReadEnd() {
        if (fds[0] >= 0) ::close(fds[0]);
        fds[0] = -1;
    }
    // Up to `bytes` read within `seconds`.
    std::string read(std::size_t bytes, double seconds = 10.0) {
        std::string text;
        const double deadline = mono() + seconds;
        while (text.size() < bytes && mono() < deadline) {
            pollfd descriptor{fds[0], POLLIN, 0};
            if (::poll(&descriptor, 1, 50) <= 0) continue;
            char buffer[65536];
            const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
            if (got <= 0) break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }
};

// A map whose JSON text is exactly `bytes` long: {"k":"xx…"}.
Json ofTextLength(std::size_t bytes) {
    return Json{{"k", std::string(bytes - 8, 'x')}};
}

// A host pipe and an Output writing to it, counting the failures it reports. A line's deadline is
// shorter than the helper's, so that the stalled host's lines fail sooner.
class OutputTest : public ::testing::Test {
protected:
    OutputTest() {
        output.setOnFailure([this] { ++failures; });
    }
    HostPipe host;
    std::atomic<int> failures{0};
    const qv::Limits limits{.lineDeadlineSeconds = 1.0};
    Output output{host.fds[1], limits};
};

}  // namespace

TEST_F(OutputTest, RefusesInvalidOrOverlongLinesAtOnce) {
    // The bound applies to the escaped text: 32,763 slashes take 65,526 bytes.
    for (const Json& refused :
         {Json::array({1}), Json{{"list", {std::numeric_limits<double>::quiet_NaN()}}}, Json{{"bad", "\xff"}},
          ofTextLength(65'536), Json{{"k", std::string(32'763, '/') + "xx"}}})
        output.send(refused);
    EXPECT_EQ(failures, 5);

    output.send(Json{{"b", "a/b"}, {"a", 1}});
    EXPECT_EQ(host.read(19), "{\"a\":1,\"b\":\"a\\/b\"}\n");
    output.send(ofTextLength(65'535));
    EXPECT_EQ(host.read(65'536), ofTextLength(65'535).dump() + "\n");
    output.send(Json{{"k", std::string(32'763, '/') + "x"}});
    EXPECT_EQ(host.read(65'536).size(), 65'536u);
    EXPECT_EQ(failures, 5);
}

TEST_F(OutputTest, StalledHostGetsThirtyTwoPendingLinesEachFailingAfterTheirDeadline) {
    host.fill();
    const double start = mono();
    for (int i = 0; i < 32; ++i) output.send(Json{{"line", i}});
    EXPECT_EQ(failures, 0);
    output.send(Json{{"line", 32}});
    EXPECT_EQ(failures, 1);  // refused before send returned
    EXPECT_EQ(output.pendingLines(), 32);

    // Lines fail one after another, each after its own deadline.
    ASSERT_TRUE(waitUntil([&] { return failures >= 3; }, 20));
    EXPECT_GE(mono() - start, 2 * limits.lineDeadlineSeconds);
    EXPECT_GE(output.pendingLines(), 29);

    // A host that closes its end makes the rest fail at once (EPIPE, no SIGPIPE death).
    host.closeReadEnd();
    ASSERT_TRUE(waitUntil([&] { return failures == 33; }, 20));
    EXPECT_EQ(output.pendingLines(), 0);
}

TEST_F(OutputTest, PendingBytesAreBoundedWithTheNewLineCounted) {
    host.fill();
    for (int i = 0; i < 4; ++i) output.send(ofTextLength(65'535));  // 4 × 65,536 = 262,144
    EXPECT_EQ(failures, 0);
    output.send(Json{{"k", 1}});
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(output.pendingLines(), 4);
    host.closeReadEnd();
    ASSERT_TRUE(waitUntil([&] { return failures == 5; }, 20));
}

TEST_F(OutputTest, HookMaySendAgainWithoutDeadlock) {
    host.closeReadEnd();
    output.setOnFailure([&] {
        if (++failures < 3) output.send(Json{{"again", failures.load()}});
    });
    output.send(Json::array());
    ASSERT_TRUE(waitUntil([&] { return failures == 3; }));
}

// Not a fixture test: the fixture's Output would start a thread before the fork, which the thread
// sanitizer refuses.
TEST(Output, ExitAfterDrainingWritesEarlierLinesWholeAndNoLaterOnes) {
    HostPipe host;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* exiting = new Output(host.fds[1]);  // never destroyed: the process ends from its queue
        exiting->send(ofTextLength(65'535));      // larger than the pipe: needs the reader to go on
        exiting->exitAfterDraining(7);
        exiting->send(Json{{"after", true}});
        for (;;) pause();
    }
    EXPECT_EQ(host.read(65'536), ofTextLength(65'535).dump() + "\n");
    int status = 0;
    const bool exited = waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 20.0);
    if (!exited) kill(child, SIGKILL);
    ASSERT_TRUE(exited);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
    EXPECT_EQ(host.read(1, 0.2), "");
}
