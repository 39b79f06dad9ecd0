#include "selftest/PreviewCodecTest.h"

#include "platform/Runtime.h"
#include "protocol/CaptureError.h"

namespace qv {

Json syntheticPreviewCodecTest() {
    throw CaptureError("NATIVE_ERROR", "Not built yet");
}

}  // namespace qv
