#include "selftest/WatchdogSelfTest.h"

#include "base/Runtime.h"
#include "base/Semaphore.h"
#include "recording/DeadlineWatchdog.h"

#include <memory>

namespace qv {

[[noreturn]] void watchdogSelfTest() {
    // Shared with the blocked control queue, which may still hold them when the process exits.
    auto blocker = std::make_shared<Semaphore>();
    auto fired = std::make_shared<Semaphore>();
    controlQueue().async([blocker] { blocker->wait(2.0); });

    DeadlineWatchdog watchdog(
        0.025, 0.05, [] { controlQueue().async([] {}); }, [fired] { fired->signal(); });
    const bool firedInTime = fired->wait(1.0);
    watchdog.cancel();
    blocker->signal();

    if (!firedInTime) exitProcess(1);
    writeAll(1,
             "{\"ok\":true,\"controlQueueBlocked\":true,\"independentDeadlineFired\":true,"
             "\"simulatedDeadlineSeconds\":0.025,\"simulatedGraceSeconds\":0.05,"
             "\"wallClockEnduranceTest\":false,\"streamsOpened\":false}\n");
    exitProcess(0);
}

}  // namespace qv
