#include "TestSupport.h"
#include "device/simulated/SimulatedDeviceSystem.h"

#include <gtest/gtest.h>

using qv::SimulatedDeviceConfig;

// The black-box sessions run the simulated players; this checks the configuration contract itself.
TEST(SimulatedDeviceConfigTest, OptionalKeysMayBeLeftOutAndAnythingElseIsRejected) {
    const auto parsed =
        SimulatedDeviceConfig::parse(R"({"video":[{"id":"v","name":""}],"audio":[{"id":"a","name":"m"}],
        "permissionRequests":{"video":{"answerAfterMs":null}}})");
    ASSERT_EQ(parsed.video.size(), 1u);
    EXPECT_EQ(parsed.video[0].formats.at(0).frameRateRanges, (std::vector<qv::FrameRateRange>{{60, 60}}));
    EXPECT_FALSE(parsed.videoAnswer.answerAfterMs);  // an answer "after null" never comes
    EXPECT_EQ(parsed.audioAnswer.answerAfterMs, 0.0);

    for (const char* text :
         {"",
          "null",
          R"({"video":{}})",
          R"({"video":[{"name":"x"}]})",
          R"({"video":[{"id":"","name":"x"}]})",
          R"({"video":[{"id":"a","name":1}]})",
          R"({"video":[{"id":"a","name":"x","fps":0}]})",
          R"({"video":[{"id":"a","name":"x","fps":241}]})",
          R"({"video":[{"id":"a","name":"x","width":1.5}]})",
          R"({"video":[{"id":"a","name":"x","startFailure":"later"}]})",
          R"({"video":[{"id":"a","name":"x","resizeAfterFrames":3}]})",
          R"({"video":[{"id":"a","name":"x","formats":[{"width":1,"height":1,"ranges":[[1]]}]}]})",
          R"({"video":[{"id":"a","name":"x","listings":-1}]})",
          R"({"video":[{"id":"a","name":"x","colour":1}]})",
          R"({"video":[{"id":"a","name":"x"},{"id":"a","name":"y"}]})",
          R"({"audio":[{"id":"a","name":"x","sampleRate":0}]})",
          R"({"audio":[{"id":"a","name":"x","silent":1}]})",
          R"({"permissions":{"video":"granted"}})",
          R"({"permissionRequests":{"audio":{"answerAfterMs":-5}}})",
          R"({"players":[]})"}) {
        EXPECT_EQ(qvtest::thrown([&] { SimulatedDeviceConfig::parse(text); }),
                  "SIMULATION_CONFIG / Simulated device configuration is invalid")
            << text;
    }
}
