#include "selftest/ValidationSelfTest.h"

#include "platform/Runtime.h"
#include "protocol/CaptureError.h"

namespace qv {

[[noreturn]] void validationSelfTest() {
    exitProcess(1);
}

}  // namespace qv
