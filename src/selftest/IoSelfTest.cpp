#include "selftest/IoSelfTest.h"

#include "platform/Runtime.h"
#include "protocol/CaptureError.h"

namespace qv {

Json ioSelfTest() {
    throw CaptureError("NATIVE_ERROR", "Not built yet");
}

}  // namespace qv
