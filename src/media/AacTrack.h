#pragma once

#include <cstdint>
#include <vector>

struct AVAudioFifo;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct SwrContext;

namespace qv {

class Mp4Output;

// How the AAC track is encoded. The recording chooses these values.
struct AudioSettings {
    int sampleRate = 0;
    int channels = 0;
    std::int64_t bitRate = 0;
};

// The audio track of an MP4 output: FFmpeg's AAC encoder fed with interleaved 16-bit PCM, converted
// to the encoder's planar format and cut into whole encoder frames. Lost audio keeps its place on the
// timeline as silence. Results are FFmpeg error codes (< 0).
class AacTrack {
public:
    AacTrack() = default;
    ~AacTrack();
    AacTrack(const AacTrack&) = delete;
    AacTrack& operator=(const AacTrack&) = delete;

    static bool acceptable(const AudioSettings& settings);
    // As H264Track::prepare.
    static void prepare(const AudioSettings& settings);

    int open(const AudioSettings& settings, Mp4Output& output);
    // `pcm` holds whole interleaved sample frames; `pts` counts samples from time zero.
    int encode(const std::vector<std::int16_t>& pcm, std::int64_t pts, Mp4Output& output);
    // Encodes the last partial frame and drains the encoder.
    int finish(Mp4Output& output);

    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }

private:
    int sendFrames(bool flush, Mp4Output& output);
    int drain(Mp4Output& output);

    AVCodecContext* context_ = nullptr;
    AVStream* stream_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    SwrContext* resampler_ = nullptr;
    // PCM waits here until a whole encoder frame is there.
    AVAudioFifo* fifo_ = nullptr;
    std::int64_t fifoPts_ = -1;     // time of the FIFO's first sample, in samples
    std::vector<float> converted_;  // one block in the encoder's planar format, reused
    int channels_ = 0;
    int sampleRate_ = 0;
};

}  // namespace qv
