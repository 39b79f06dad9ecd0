#include "platform/AudioDataOutput.h"
#include "platform/Runtime.h"
#include "platform/Semaphore.h"
#include "platform/VideoDataOutput.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace qv {
namespace {

struct Recorder : VideoDataOutputDelegate, AudioDataOutputDelegate {
    // Written only on controlQueue; read after a sync with it.
    std::vector<double> frames;
    int drops = 0;
    std::vector<AudioSample> audio;
    bool onControlQueue = true;

    void didOutputVideo(const VideoSample& sample) override {
        onControlQueue = onControlQueue && controlQueue().isCurrent();
        frames.push_back(sample.presentationTime);
    }
    void didDropVideo() override {
        onControlQueue = onControlQueue && controlQueue().isCurrent();
        ++drops;
    }
    void didOutputAudio(const AudioSample& sample) override {
        onControlQueue = onControlQueue && controlQueue().isCurrent();
        audio.push_back(sample);
    }
    void didDropAudio(int count) override {
        onControlQueue = onControlQueue && controlQueue().isCurrent();
        audioDrops += count;
    }
    int audioDrops = 0;
};

void drainControlQueue() {
    controlQueue().sync([] {});
}

// Holds controlQueue until released, so that frames pile up behind it.
class ControlQueueHold {
public:
    ControlQueueHold() {
        controlQueue().async([this] {
            held_.signal();
            release_.wait(30);
        });
        held_.wait(30);
    }
    // Waits for the held block to return: it still uses the semaphores after being released.
    ~ControlQueueHold() {
        release();
        drainControlQueue();
    }
    void release() {
        if (released_) return;
        released_ = true;
        release_.signal();
    }

private:
    Semaphore held_;
    Semaphore release_;
    bool released_ = false;
};

PixelBufferRef frame() {
    return PixelBuffer::create(4, 4);
}

TEST(VideoDataOutputTest, LateFramesAreDroppedAndReportedNotQueued) {
    auto output = std::make_shared<VideoDataOutput>();
    auto recorder = std::make_shared<Recorder>();
    output->setDelegate(recorder);
    {
        ControlQueueHold hold;
        output->deliver(frame(), 1.0);
        output->deliver(frame(), 2.0);
        output->deliver(frame(), 3.0);
        output->reportDropped();
    }
    drainControlQueue();
    EXPECT_EQ(recorder->frames, std::vector<double>{1.0});
    EXPECT_EQ(recorder->drops, 3);
    EXPECT_TRUE(recorder->onControlQueue);

    // Once the frame in flight has been taken, the next one goes through again.
    output->deliver(frame(), 4.0);
    drainControlQueue();
    EXPECT_EQ(recorder->frames, (std::vector<double>{1.0, 4.0}));
}

TEST(VideoDataOutputTest, ClearedOrReleasedDelegateGetsNothingAlreadyPosted) {
    auto output = std::make_shared<VideoDataOutput>();
    auto recorder = std::make_shared<Recorder>();
    output->setDelegate(recorder);
    {
        // Held weakly: a delegate released by its owner is simply skipped.
        auto released = std::make_shared<Recorder>();
        output->setDelegate(released);
    }
    output->deliver(frame(), 0.5);
    drainControlQueue();
    output->setDelegate(recorder);
    {
        ControlQueueHold hold;
        output->deliver(frame(), 1.0);
        output->deliver(frame(), 2.0);
        output->clearDelegate();
    }
    drainControlQueue();
    output->deliver(frame(), 3.0);
    output->reportDropped();
    drainControlQueue();
    EXPECT_TRUE(recorder->frames.empty());
    EXPECT_EQ(recorder->drops, 0);
}

TEST(AudioDataOutputTest, SamplesArriveInOrderAndAStalledControlQueueBoundsThoseWaiting) {
    auto output = std::make_shared<AudioDataOutput>();
    auto recorder = std::make_shared<Recorder>();
    output->setDelegate(recorder);
    {
        ControlQueueHold hold;
        for (int i = 0; i < AudioDataOutput::maxPendingSamples + 50; ++i) {
            AudioSample sample;
            sample.format = {44100, 2};
            sample.samples.assign(882, 0);
            sample.presentationTime = i;
            output->deliver(std::move(sample));
        }
    }
    drainControlQueue();
    ASSERT_EQ(recorder->audio.size(), static_cast<std::size_t>(AudioDataOutput::maxPendingSamples));
    for (int i = 0; i < AudioDataOutput::maxPendingSamples; ++i) {
        EXPECT_EQ(recorder->audio[i].presentationTime, i);
        EXPECT_EQ(recorder->audio[i].format.sampleRate, 44100);
        EXPECT_EQ(recorder->audio[i].frames(), 441);
    }
    // Every discarded buffer is reported, once.
    output->deliver(AudioSample{});
    drainControlQueue();
    EXPECT_EQ(recorder->audioDrops, 50);
    EXPECT_TRUE(recorder->onControlQueue);
}

}  // namespace
}  // namespace qv
