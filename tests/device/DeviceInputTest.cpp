#include "base/Semaphore.h"
#include "device/DeviceInput.h"

#include <gtest/gtest.h>

#include <chrono>

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

}  // namespace

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
