#pragma once

#include "platform/AudioSample.h"
#include "platform/CaptureInput.h"
#include "platform/CaptureThread.h"

#include <memory>
#include <string>

namespace qv {

// An opened ALSA capture PCM: signed 16-bit interleaved samples at the device's own rate and
// channel count, read on a capture thread in periods of about 10 ms and handed to the session's
// audio data output with monotonic presentation times. Overruns are recovered; a vanished device
// (ENODEV) ends the capture.
class AlsaInput final : public CaptureInput {
public:
    // Opens and sets up the PCM; throws PlatformError ("ALSA") when it cannot.
    AlsaInput(CaptureDeviceRef device, const std::string& pcm);
    ~AlsaInput() override;

    AudioFormat format() const;

    bool start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) override;
    void stop() override;
    // Closes the PCM. Not confirmed while the capture thread is still inside a read.
    bool release() override;

    bool unplugged() const;
    bool streaming() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
    CaptureThread thread_;
};

}  // namespace qv
