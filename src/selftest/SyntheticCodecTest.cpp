#include "selftest/SyntheticCodecTest.h"

#include "platform/Runtime.h"
#include "protocol/CaptureError.h"

namespace qv {

Json syntheticCodecTest(std::int64_t durationMs, bool withAudio) {
    (void)durationMs; (void)withAudio; throw CaptureError("NATIVE_ERROR", "Not built yet");
}

}  // namespace qv
