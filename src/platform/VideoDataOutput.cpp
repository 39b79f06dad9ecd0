#include "platform/VideoDataOutput.h"

#include "platform/Runtime.h"

#include <utility>

namespace qv {

void VideoDataOutput::setDelegate(std::weak_ptr<VideoDataOutputDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

void VideoDataOutput::clearDelegate() {
    std::lock_guard lock(mutex_);
    delegate_.reset();
}

std::shared_ptr<VideoDataOutputDelegate> VideoDataOutput::currentDelegate() {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void VideoDataOutput::deliver(PixelBufferRef image, double presentationTime) {
    if (!currentDelegate()) return;
    if (frameInFlight_.exchange(true)) {
        countDrop();
        return;
    }
    controlQueue().async(
        [weakSelf = weak_from_this(), sample = VideoSample{std::move(image), presentationTime}] {
            const auto self = weakSelf.lock();
            if (!self) return;
            // Looked up again here, so a delegate cleared after the frame was posted gets nothing.
            if (const auto delegate = self->currentDelegate()) delegate->didOutputVideo(sample);
            self->frameInFlight_ = false;
        });
}

void VideoDataOutput::reportDropped() {
    if (!currentDelegate()) return;
    countDrop();
}

void VideoDataOutput::countDrop() {
    if (pendingDrops_.fetch_add(1) != 0) return;
    controlQueue().async([weakSelf = weak_from_this()] {
        const auto self = weakSelf.lock();
        if (!self) return;
        const long drops = self->pendingDrops_.exchange(0);
        const auto delegate = self->currentDelegate();
        if (!delegate) return;
        for (long i = 0; i < drops; ++i) delegate->didDropVideo();
    });
}

}  // namespace qv
