#include "selftest/PreviewPipelineTest.h"

#include "platform/Runtime.h"
#include "protocol/CaptureError.h"

namespace qv {

Json syntheticPreviewPipelineTest() {
    throw CaptureError("NATIVE_ERROR", "Not built yet");
}

}  // namespace qv
