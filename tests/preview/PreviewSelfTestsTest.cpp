#include "PreviewTestSupport.h"
#include "selftest/PreviewCodecTest.h"
#include "selftest/PreviewPipelineTest.h"

#include <gtest/gtest.h>

namespace {

using namespace qvtest;

// The built-in tests run in-process here, so the sanitizer builds see their threads.
class PreviewSelfTests : public ::testing::Test {
private:
    ScopedTmpdir tmpdir_;
};

TEST_F(PreviewSelfTests, CodecTestPassesInProcess) {
    const Json result = qv::syntheticPreviewCodecTest();
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["decodedWidth"], 160);
    EXPECT_EQ(result["decodedHeight"], 144);
    EXPECT_EQ(result["metadata"]["sha256"], result["sha256"]);
}

TEST_F(PreviewSelfTests, PipelineTestPassesInProcess) {
    const Json result = qv::syntheticPreviewPipelineTest();
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["checks"], 84);
}

}  // namespace
