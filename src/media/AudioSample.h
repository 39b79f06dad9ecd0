#pragma once

#include <cstdint>
#include <vector>

namespace qv {

// The format of captured audio: what a recording needs to set up its AAC track.
struct AudioFormat {
    int sampleRate = 0;
    int channels = 0;
};

// A block of captured audio: signed 16-bit PCM, channels interleaved, in native byte order.
struct AudioSample {
    AudioFormat format;
    std::vector<std::int16_t> samples;  // frames() × channels values
    double presentationTime = 0;        // seconds, on the clock of the video frames' timestamps

    std::int64_t frames() const {
        return format.channels > 0 ? static_cast<std::int64_t>(samples.size()) / format.channels : 0;
    }
};

}  // namespace qv
