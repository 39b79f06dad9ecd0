#include "device/VideoDataOutput.h"

#include "base/Runtime.h"

#include <utility>

namespace qv {

void VideoDataOutput::deliver(PixelBufferRef image, double presentationTime) {
    if (!delegate_.get()) return;
    if (frameInFlight_.exchange(true)) {
        countDrop();
        return;
    }
    controlQueue().async(
        [weakSelf = weak_from_this(), sample = VideoSample{std::move(image), presentationTime}] {
            const auto self = weakSelf.lock();
            if (!self) return;
            // Looked up again here, so a delegate cleared after the frame was posted gets nothing.
            if (const auto delegate = self->delegate_.get()) delegate->didOutputVideo(sample);
            self->frameInFlight_ = false;
        });
}

void VideoDataOutput::reportDropped() {
    if (!delegate_.get()) return;
    countDrop();
}

void VideoDataOutput::countDrop() {
    if (pendingDrops_.fetch_add(1) != 0) return;
    controlQueue().async([weakSelf = weak_from_this()] {
        const auto self = weakSelf.lock();
        if (!self) return;
        const long drops = self->pendingDrops_.exchange(0);
        const auto delegate = self->delegate_.get();
        if (!delegate) return;
        for (long i = 0; i < drops; ++i) delegate->didDropVideo();
    });
}

}  // namespace qv
