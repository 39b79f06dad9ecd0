#include "platform/AudioDataOutput.h"

#include "platform/Runtime.h"

#include <utility>

namespace qv {

void AudioDataOutput::setDelegate(std::weak_ptr<AudioDataOutputDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

void AudioDataOutput::clearDelegate() {
    std::lock_guard lock(mutex_);
    delegate_.reset();
}

std::shared_ptr<AudioDataOutputDelegate> AudioDataOutput::currentDelegate() {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void AudioDataOutput::deliver(AudioSample sample) {
    if (!currentDelegate()) return;
    if (pending_.fetch_add(1) >= maxPendingSamples) {
        pending_.fetch_sub(1);
        return;
    }
    controlQueue().async([weakSelf = weak_from_this(), sample = std::move(sample)] {
        const auto self = weakSelf.lock();
        if (!self) return;
        self->pending_.fetch_sub(1);
        if (const auto delegate = self->currentDelegate()) delegate->didOutputAudio(sample);
    });
}

}  // namespace qv
