#include "selftest/WatchdogSelfTest.h"

#include "platform/Runtime.h"
#include "protocol/CaptureError.h"

namespace qv {

[[noreturn]] void watchdogSelfTest() {
    exitProcess(1);
}

}  // namespace qv
