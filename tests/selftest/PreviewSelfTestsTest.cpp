#include "TestSupport.h"
#include "selftest/PreviewCodecTest.h"
#include "selftest/PreviewPipelineTest.h"

#include <gtest/gtest.h>

// The built-in tests run in-process here, so the sanitizer builds see their threads.
TEST(PreviewSelfTests, CodecAndPipelineTestsPassInProcess) {
    qvtest::ScopedTmpdir tmpdir;
    const qvtest::Json codec = qv::syntheticPreviewCodecTest();
    EXPECT_EQ(codec["ok"], true) << codec.dump();
    const qvtest::Json pipeline = qv::syntheticPreviewPipelineTest();
    EXPECT_EQ(pipeline["ok"], true) << pipeline.dump();
}
