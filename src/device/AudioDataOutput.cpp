#include "device/AudioDataOutput.h"

#include "base/Runtime.h"

#include <utility>

namespace qv {

void AudioDataOutput::deliver(AudioSample sample) {
    if (!delegate_.get()) return;
    if (pending_.fetch_add(1) >= maxPendingSamples) {
        pending_.fetch_sub(1);
        discarded_.fetch_add(1);
        return;
    }
    controlQueue().async([weakSelf = weak_from_this(), sample = std::move(sample)] {
        const auto self = weakSelf.lock();
        if (!self) return;
        self->pending_.fetch_sub(1);
        const int discarded = self->discarded_.exchange(0);
        if (const auto delegate = self->delegate_.get()) {
            if (discarded > 0) delegate->didDropAudio(discarded);
            delegate->didOutputAudio(sample);
        }
    });
}

}  // namespace qv
