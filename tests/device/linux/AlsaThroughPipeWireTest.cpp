#include "PipeWireStack.h"
#include "TestSupport.h"
#include "base/Runtime.h"
#include "device/AudioDataOutput.h"
#include "device/CaptureInput.h"
#include "device/linux/AlsaDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

using namespace qv;

namespace {

// Written and read on controlQueue.
struct Blocks final : AudioDataOutputDelegate {
    void didOutputAudio(const AudioSample& sample) override { samples.push_back(sample); }
    std::vector<AudioSample> samples;
};

}  // namespace

// The ALSA capture meets an implementation written elsewhere: PipeWire's ALSA plugin, which
// records the graph's default source, here the test player's 440 Hz tone.
TEST(AlsaInput, CapturesThroughThePipeWirePlugin) {
    qvtest::PipeWireStack stack;
    if (!stack.running()) GTEST_SKIP() << "PipeWire and WirePlumber could not be started here";
    ASSERT_GT(stack.addPlayer(), 0);
    for (const auto& [key, value] : stack.env()) ::setenv(key.c_str(), value.c_str(), 1);
    std::shared_ptr<CaptureInput> input;
    try {
        input = std::make_shared<AlsaDevice>(AlsaMicrophone{"pipewire", "alsa:pipewire", "Microphone"})
                    ->createInput();
    } catch (const std::exception&) {
        GTEST_SKIP() << "PipeWire's ALSA plugin is not installed";
    }
    auto blocks = std::make_shared<Blocks>();
    auto output = std::make_shared<AudioDataOutput>();
    output->setDelegate(blocks);
    ASSERT_TRUE(input->start({output}));
    EXPECT_TRUE(qvtest::waitUntil(
        [&] {  // half a second of 10 ms blocks
            std::size_t count = 0;
            controlQueue().sync([&] { count = blocks->samples.size(); });
            return count >= 50;
        },
        20.0));
    input->stop();
    EXPECT_TRUE(input->release());
    controlQueue().sync([] {});

    double previous = -1;
    std::int16_t loudest = 0;
    for (const auto& sample : blocks->samples) {
        EXPECT_EQ(std::pair(sample.format.sampleRate, sample.format.channels), std::pair(48000, 2));
        EXPECT_GT(sample.presentationTime, previous);
        previous = sample.presentationTime;
        for (const auto value : sample.samples) loudest = std::max<std::int16_t>(loudest, value);
    }
    EXPECT_GT(loudest, 1000);  // the tone, not silence
}
