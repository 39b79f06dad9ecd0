#pragma once

#include "media/AudioTimeline.h"

#include <cstdint>
#include <deque>
#include <memory>
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
// to the encoder's planar format and cut into whole encoder frames. AudioTimeline decides where each
// block goes; libswresample's compensation carries out its gentle stretch, and lost audio keeps its
// place as silence. The track starts at time zero, silent until the first sample's time, so that the
// file's edit, which hides the encoder's priming, puts that sample at its time. Results are FFmpeg
// error codes (< 0).
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
    // `pcm` holds whole interleaved sample frames; `time`, in samples from time zero, is when its
    // first one was heard.
    int encode(std::vector<std::int16_t> pcm, double time, Mp4Output& output);
    // Lays the blocks still held, encodes the last partial frame and drains the encoder.
    int finish(Mp4Output& output);

    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }

private:
    int layHeld(bool draining, Mp4Output& output);
    // Converts `count` samples (none: silence) through the resampler into the FIFO.
    int convert(const std::int16_t* pcm, std::int64_t count, Mp4Output& output);
    int resample(const std::uint8_t** in, int count, Mp4Output& output);
    int sendFrames(bool flush, Mp4Output& output);
    int drain(Mp4Output& output);

    AVCodecContext* context_ = nullptr;
    AVStream* stream_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    SwrContext* resampler_ = nullptr;
    // PCM waits here until a whole encoder frame is there.
    AVAudioFifo* fifo_ = nullptr;
    std::int64_t fifoPts_ = 0;      // time of the FIFO's first sample, in samples
    std::vector<float> converted_;  // one block in the encoder's planar format, reused
    std::unique_ptr<AudioTimeline> timeline_;
    std::deque<std::vector<std::int16_t>> held_;  // the blocks the timeline holds back, in order
    bool started_ = false;
    int channels_ = 0;
    int sampleRate_ = 0;
};

}  // namespace qv
