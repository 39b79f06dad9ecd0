#pragma once

#include "device/DeviceInput.h"
#include "media/AudioSample.h"

#include <string>

namespace qv {

// An opened ALSA capture PCM: signed 16-bit interleaved samples at the device's own rate and
// channel count, read on a capture thread in periods of about 10 ms and handed to the session's
// audio data output with monotonic presentation times from the driver's own timestamps. Overruns are
// recovered; a vanished device (ENODEV) ends the capture.
class AlsaInput final : public DeviceInput {
public:
    // Opens and sets up the PCM; throws PlatformError ("ALSA") when it cannot.
    AlsaInput(CaptureDeviceRef device, const std::string& pcm);

    AudioFormat format() const;
};

}  // namespace qv
