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

    void didOutputVideo(const VideoSample& sample) override {
        note(), frames.push_back(sample.presentationTime);
    }
    void didDropVideo() override { note(), ++drops; }
    void didOutputAudio(const AudioSample& sample) override {
        note(), audio.push_back(sample.presentationTime);
    }
    void didDropAudio(int count) override { note(), audioDrops += count; }
    void note() { onControlQueue = onControlQueue && controlQueue().isCurrent(); }
};

void drainControlQueue() {
    controlQueue().sync([] {});
}

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
    drainControlQueue();
}

PixelBufferRef frame() {
    return PixelBuffer::create(4, 4);
}

TEST(DataOutputTest, VideoKeepsOneFrameInFlightAndDropsAndReportsTheRest) {
    auto output = std::make_shared<VideoDataOutput>();
    auto recorder = std::make_shared<Recorder>();
    output->setDelegate(recorder);
    whileControlQueueHeld([&] {
        output->deliver(frame(), 1.0);
        output->deliver(frame(), 2.0);
        output->deliver(frame(), 3.0);
        output->reportDropped();
    });
    output->deliver(frame(), 4.0);  // the frame in flight has been taken
    drainControlQueue();
    EXPECT_EQ(recorder->frames, (std::vector<double>{1.0, 4.0}));
    EXPECT_EQ(recorder->drops, 3);
    EXPECT_TRUE(recorder->onControlQueue);

    // A cleared delegate gets nothing, not even what was already posted.
    whileControlQueueHeld([&] {
        output->deliver(frame(), 5.0);
        output->clearDelegate();
    });
    EXPECT_EQ(recorder->frames.size(), 2u);
}

TEST(DataOutputTest, AudioWaitingForAStalledControlQueueIsBoundedAndEveryDiscardIsReported) {
    auto output = std::make_shared<AudioDataOutput>();
    auto recorder = std::make_shared<Recorder>();
    output->setDelegate(recorder);
    whileControlQueueHeld([&] {
        for (int i = 0; i < AudioDataOutput::maxPendingSamples + 50; ++i) {
            AudioSample sample;
            sample.format = {44100, 2};
            sample.samples.assign(882, 0);
            sample.presentationTime = i;
            output->deliver(std::move(sample));
        }
    });
    ASSERT_EQ(recorder->audio.size(), static_cast<std::size_t>(AudioDataOutput::maxPendingSamples));
    for (int i = 0; i < AudioDataOutput::maxPendingSamples; ++i) EXPECT_EQ(recorder->audio[i], i);
    output->deliver(AudioSample{});
    drainControlQueue();
    EXPECT_EQ(recorder->audioDrops, 50);
    EXPECT_TRUE(recorder->onControlQueue);
}

}  // namespace
}  // namespace qv
