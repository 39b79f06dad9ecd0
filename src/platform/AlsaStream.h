#pragma once

#include "platform/AudioSample.h"
#include "platform/Queue.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace qv {

// Captures one ALSA PCM as signed 16-bit interleaved samples at the device's own rate and channel
// count, on a thread of its own, in periods of about 10 ms, each delivered on a queue with its
// monotonic presentation time. Overruns are recovered; a vanished device (ENODEV) ends the capture.
class AlsaStream {
public:
    struct Delivery {
        Queue* queue = nullptr;
        std::function<void(AudioSample)> sample;
    };

    // Opens and starts the PCM. Throws a PlatformError ("ALSA") when it cannot be opened or set up.
    AlsaStream(const std::string& pcm, Delivery delivery);
    // Stops, waiting up to two seconds for the device to be released.
    ~AlsaStream();
    AlsaStream(const AlsaStream&) = delete;
    AlsaStream& operator=(const AlsaStream&) = delete;

    AudioFormat format() const;

    // No callback runs after this returns on the delivery queue; samples already posted are discarded.
    void stopDelivery();
    // Stops the capture and closes the PCM. True when it was closed within `timeoutSeconds`;
    // otherwise the capture thread closes it when its current read returns.
    bool stop(double timeoutSeconds);

    bool unplugged() const;
    bool running() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
    std::thread thread_;
    bool stopped_ = false;
    bool released_ = false;
};

}  // namespace qv
