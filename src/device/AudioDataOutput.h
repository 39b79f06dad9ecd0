#pragma once

#include "base/WeakDelegate.h"
#include "device/CaptureOutput.h"
#include "media/AudioSample.h"

#include <atomic>
#include <memory>

namespace qv {

// Receives an audio output's samples, on controlQueue.
class AudioDataOutputDelegate {
public:
    virtual ~AudioDataOutputDelegate() = default;
    virtual void didOutputAudio(const AudioSample& sample) = 0;
    // `count` buffers were discarded because too many waited; told just before a buffer that gets
    // through, so a stall costs the control queue nothing more.
    virtual void didDropAudio(int /*count*/) {}
};

// Hands audio buffers from a capture thread to its delegate on controlQueue, in the device's own
// format. Create it with std::make_shared.
class AudioDataOutput final : public CaptureOutput, public std::enable_shared_from_this<AudioDataOutput> {
public:
    // A stalled control queue is ended by its own watchdog; until then at most this many buffers
    // (a second of 10 ms buffers) wait for it, and later ones are discarded.
    static constexpr int maxPendingSamples = 100;

    Kind kind() const override { return Kind::audio; }

    // The delegate is held weakly: delivery stops when it goes away. Any thread.
    void setDelegate(std::weak_ptr<AudioDataOutputDelegate> delegate) { delegate_.set(std::move(delegate)); }
    void clearDelegate() override { delegate_.clear(); }

    // Producer side, from the capture thread.
    void deliver(AudioSample sample);

private:
    WeakDelegate<AudioDataOutputDelegate> delegate_;
    std::atomic<int> pending_{0};
    std::atomic<int> discarded_{0};
};

}  // namespace qv
