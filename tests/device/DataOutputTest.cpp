#include "base/Runtime.h"
#include "base/Semaphore.h"
#include "device/AudioDataOutput.h"
#include "device/VideoDataOutput.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace qv {
namespace {

// Written and read only on controlQueue (reads after a sync with it).
struct Recorder : VideoDataOutputDelegate, AudioDataOutputDelegate {
    std::vector<double> frames, audio;
    int drops = 0, audioDrops = 0;
    bool onControlQueue = true;

    void didOutputVideo(const VideoSample& s) override { note(), frames.push_back(s.presentationTime); }
    void didDropVideo() override { note(), ++drops; }
    void didOutputAudio(const AudioSample& s) override { note(), audio.push_back(s.presentationTime); }
    void didDropAudio(int count) override { note(), audioDrops += count; }
    void note() { onControlQueue = onControlQueue && controlQueue().isCurrent(); }
};

// Runs `work` while controlQueue is held, so that deliveries pile up behind it.
void whileControlQueueHeld(const std::function<void()>& work) {
    Semaphore held, release;
    controlQueue().async([&] {
        held.signal();
        release.wait(30);
    });
    ASSERT_TRUE(held.wait(30));
    work();
    release.signal();
    controlQueue().sync([] {});
}

TEST(DataOutputTest, VideoKeepsOneFrameInFlightAndDropsAndReportsTheRest) {
    auto output = std::make_shared<VideoDataOutput>();
    auto recorder = std::make_shared<Recorder>();
    output->setDelegate(recorder);
    const auto deliver = [&](double time) { output->deliver(PixelBuffer::create(4, 4), time); };
    whileControlQueueHeld([&] {
        deliver(1.0);
        deliver(2.0);
        deliver(3.0);
        output->reportDropped();
    });
    deliver(4.0);  // the frame in flight has been taken
    controlQueue().sync([] {});
    EXPECT_EQ(recorder->frames, (std::vector<double>{1.0, 4.0}));
    EXPECT_EQ(recorder->drops, 3);
    EXPECT_TRUE(recorder->onControlQueue);

    // A cleared delegate gets nothing, not even what was already posted.
    whileControlQueueHeld([&] {
        deliver(5.0);
        output->clearDelegate();
    });
    EXPECT_EQ(recorder->frames.size(), 2u);
}

TEST(DataOutputTest, AudioWaitingForAStalledControlQueueIsBoundedAndEveryDiscardIsReported) {
    auto output = std::make_shared<AudioDataOutput>();
    auto recorder = std::make_shared<Recorder>();
    output->setDelegate(recorder);
    constexpr int pending = AudioDataOutput::maxPendingSamples;
    whileControlQueueHeld([&] {
        for (int i = 0; i < pending + 50; ++i)
            output->deliver({{44100, 2}, std::vector<std::int16_t>(882), 1.0 * i});
    });
    std::vector<double> times(pending);
    for (int i = 0; i < pending; ++i) times[i] = i;
    EXPECT_EQ(recorder->audio, times);
    output->deliver(AudioSample{});
    controlQueue().sync([] {});
    EXPECT_EQ(recorder->audioDrops, 50);
    EXPECT_TRUE(recorder->onControlQueue);
}

}  // namespace
}  // namespace qv
