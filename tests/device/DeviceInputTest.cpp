#include "TestSupport.h"
#include "base/Semaphore.h"
#include "device/DeviceInput.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

using namespace qv;

namespace {

// A device whose read hangs in the kernel, deaf to the stop flag, until the test lets it go.
struct HangingCore final : DeviceInput::Core {
    Start prepare(const std::vector<std::shared_ptr<CaptureOutput>>&) override { return Start::stream; }
    void run(const std::atomic<bool>&) override {
        entered.signal();
        letGo.wait(30.0);
        deliveringAtEnd = delivering.load();
        finished.signal();
    }
    bool close() override {
        ++closes;
        return true;
    }

    Semaphore entered, letGo, finished;
    std::atomic<bool> deliveringAtEnd{true};
    std::atomic<int> closes{0};
};

struct TestInput final : DeviceInput {
    explicit TestInput(std::shared_ptr<Core> core) : DeviceInput(nullptr, "qv.test", std::move(core)) {}
};

// Runs `body` in a child process that may start no thread: it runs as an otherwise unused user
// (root would pass the limit) allowed one task. Whether the body held; none when the child cannot
// be set up so, as when this process is not root.
std::optional<bool> withoutNewThreads(const std::function<bool()>& body) {
    if (::geteuid() != 0) return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        const auto user = static_cast<uid_t>(200000 + ::getpid() % 100000);
        const rlimit one{1, 1};
        if (::setgid(user) != 0 || ::setuid(user) != 0 || ::setrlimit(RLIMIT_NPROC, &one) != 0) _exit(2);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || !qvtest::waitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }) ||
        !WIFEXITED(status) || WEXITSTATUS(status) == 2) {
        return std::nullopt;
    }
    return WEXITSTATUS(status) == 0;
}

}  // namespace

// A capture thread that cannot be made leaves the input as if it had never started: not streaming,
// not delivering, and its device closes with the release confirmed.
TEST(DeviceInput, AThreadThatCannotBeMadeLeavesTheDeviceClosable) {
    const auto held = withoutNewThreads([] {
        auto core = std::make_shared<HangingCore>();
        TestInput input(core);
        try {
            input.start({});
            return false;
        } catch (const std::system_error&) {
        }
        return !input.streaming() && !core->delivering.load() && input.release() && core->closes == 1;
    });
    if (!held) GTEST_SKIP() << "needs root to take the right to start threads from a child";
    EXPECT_TRUE(*held);
}

TEST(DeviceInput, AThreadStuckInTheKernelLeavesTheReleaseUnconfirmedAndTheDeviceOpen) {
    auto core = std::make_shared<HangingCore>();
    auto input = std::make_unique<TestInput>(core);
    ASSERT_TRUE(input->start({}));
    ASSERT_TRUE(core->entered.wait(10.0));

    const auto before = std::chrono::steady_clock::now();
    input->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));  // bounded
    EXPECT_FALSE(input->release());
    // The input may go while its thread is still inside; the thread keeps the device alive.
    input.reset();
    EXPECT_EQ(core->closes.load(), 0);

    core->letGo.signal();
    ASSERT_TRUE(core->finished.wait(10.0));
    EXPECT_FALSE(core->deliveringAtEnd.load());
}
