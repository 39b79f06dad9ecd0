#include "platform/DeviceInput.h"
#include "platform/Semaphore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace qv;

namespace {

// A device whose read can hang in the kernel, deaf to the stop flag, until the test lets it go.
class HangingCore final : public DeviceInput::Core {
public:
    Start prepare(const std::vector<std::shared_ptr<CaptureOutput>>&) override { return answer; }
    void run(const std::atomic<bool>& stopRequested) override {
        entered.signal();
        if (hang) {
            letGo.wait(30.0);
        } else {
            while (!stopRequested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        deliveringAtEnd = delivering.load();
        finished.signal();
    }
    bool close() override {
        closes += 1;
        return true;
    }

    Start answer = Start::stream;
    bool hang = false;
    Semaphore entered;
    Semaphore letGo;
    Semaphore finished;
    std::atomic<bool> deliveringAtEnd{true};
    std::atomic<int> closes{0};
};

class TestInput final : public DeviceInput {
public:
    explicit TestInput(std::shared_ptr<Core> core) : DeviceInput(nullptr, "qv.test", std::move(core)) {}
};

}  // namespace

TEST(DeviceInput, StartsOnlyAStreamingDeviceAndClosesItOnceStopped) {
    auto refused = std::make_shared<HangingCore>();
    refused->answer = DeviceInput::Core::Start::refused;
    EXPECT_FALSE(TestInput(refused).start({}));

    auto idle = std::make_shared<HangingCore>();
    idle->answer = DeviceInput::Core::Start::idle;
    TestInput idleInput(idle);
    EXPECT_TRUE(idleInput.start({}));
    EXPECT_FALSE(idleInput.streaming());

    auto core = std::make_shared<HangingCore>();
    TestInput input(core);
    ASSERT_TRUE(input.start({}));
    ASSERT_TRUE(core->entered.wait(10.0));
    EXPECT_TRUE(input.streaming());
    EXPECT_TRUE(input.start({}));  // already running: no second thread
    input.stop();
    EXPECT_FALSE(input.streaming());
    EXPECT_FALSE(core->deliveringAtEnd.load());
    EXPECT_TRUE(input.release());
    EXPECT_EQ(core->closes.load(), 1);
}

TEST(DeviceInput, AThreadStuckInTheKernelLeavesTheReleaseUnconfirmedAndTheDeviceOpen) {
    auto core = std::make_shared<HangingCore>();
    core->hang = true;
    auto input = std::make_unique<TestInput>(core);
    ASSERT_TRUE(input->start({}));
    ASSERT_TRUE(core->entered.wait(10.0));

    const auto before = std::chrono::steady_clock::now();
    input->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));  // bounded
    EXPECT_TRUE(input->streaming());
    EXPECT_FALSE(input->release());
    EXPECT_EQ(core->closes.load(), 0);
    // The input may go while its thread is still inside; the thread keeps the device alive.
    input.reset();
    EXPECT_EQ(core->closes.load(), 0);

    core->letGo.signal();
    ASSERT_TRUE(core->finished.wait(10.0));
    EXPECT_FALSE(core->deliveringAtEnd.load());
}
