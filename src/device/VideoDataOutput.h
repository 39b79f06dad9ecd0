#pragma once

#include "base/WeakDelegate.h"
#include "device/CaptureOutput.h"
#include "media/PixelBuffer.h"

#include <atomic>
#include <memory>

namespace qv {

// One captured video frame.
struct VideoSample {
    // 32-bit BGRA.
    PixelBufferRef image;
    // Seconds on the monotonic clock (the clock of mono()).
    double presentationTime = 0;
};

// Receives a video output's frames and drop reports, on controlQueue.
class VideoDataOutputDelegate {
public:
    virtual ~VideoDataOutputDelegate() = default;
    virtual void didOutputVideo(const VideoSample& sample) = 0;
    virtual void didDropVideo() = 0;
};

// Hands frames from a capture thread to its delegate on controlQueue. A frame that arrives while
// the previous one has not been taken yet is late: it is discarded and reported as dropped,
// never queued. Create it with std::make_shared.
class VideoDataOutput final : public CaptureOutput, public std::enable_shared_from_this<VideoDataOutput> {
public:
    Kind kind() const override { return Kind::video; }

    // The delegate is held weakly: delivery stops when it goes away. Any thread.
    void setDelegate(std::weak_ptr<VideoDataOutputDelegate> delegate) { delegate_.set(std::move(delegate)); }
    void clearDelegate() override { delegate_.clear(); }

    // Producer side, from the capture thread.
    void deliver(PixelBufferRef image, double presentationTime);
    // A frame the device itself lost.
    void reportDropped();

private:
    void countDrop();

    WeakDelegate<VideoDataOutputDelegate> delegate_;
    std::atomic<bool> frameInFlight_{false};
    // Drops not yet reported; one report runs at a time so a flood of drops stays one queue item.
    std::atomic<long> pendingDrops_{0};
};

}  // namespace qv
