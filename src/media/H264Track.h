#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

namespace qv {

class Mp4Output;

// How the H.264 track is encoded. The recording chooses these values and says why.
struct VideoSettings {
    int width = 0;
    int height = 0;
    std::int64_t averageBitRate = 0;
    // Guides rate control only: timestamps rule the file.
    int nominalFrameRate = 60;
    std::string preset;
    std::string tune;
    // 0 lets the encoder choose.
    int threads = 0;
    // Whole frames per thread rather than slices of one frame.
    bool frameThreads = false;
    // Frames the encoder's picture analysis may run ahead of the coding, on a thread of its own;
    // 0 keeps the analysis on the thread that hands over the pictures.
    int analysisThreadFrames = 0;
    // Longest time from one keyframe (an IDR picture) to the next; 0 lets the encoder choose.
    double keyframeSeconds = 0;
};

// The writer's planar YUV 4:2:0 picture (BT.601, limited range), lent to a fill while it draws.
class YuvFrame {
public:
    explicit YuvFrame(AVFrame* frame) : frame_(frame) {}

    int width() const;
    int height() const;
    std::uint8_t* plane(int index);
    int stride(int index) const;

private:
    AVFrame* frame_;
};

// Draws one picture into the writer's frame, on the writer's thread.
using VideoFill = std::function<void(YuvFrame&)>;

// The video track of an MP4 output: libx264 without frame reordering, one reused picture, and every
// packet timed by the next one's timestamp. Results are FFmpeg error codes (< 0).
class H264Track {
public:
    // Timestamps are in this time base (1/90,000 s).
    static constexpr int timeScale = 90000;

    H264Track() = default;
    ~H264Track();
    H264Track(const H264Track&) = delete;
    H264Track& operator=(const H264Track&) = delete;

    static bool acceptable(const VideoSettings& settings);
    // Opens and closes an encoder once with these settings, so that the library's one-time set-up
    // (CPU detection, tables) is done before a real track needs it. Failures are left for a real track.
    static void prepare(const VideoSettings& settings);

    // Opens the encoder and adds its stream to `output`.
    int open(const VideoSettings& settings, Mp4Output& output);
    // Draws the picture with `fill`, encodes it at `pts` and writes what the encoder gives back.
    int encode(const VideoFill& fill, std::int64_t pts, Mp4Output& output);
    // Drains the encoder and writes the held-back last packet.
    int finish(Mp4Output& output);

private:
    int drain(Mp4Output& output);
    int writePending(Mp4Output& output, bool last);

    AVCodecContext* context_ = nullptr;
    AVStream* stream_ = nullptr;
    AVPacket* packet_ = nullptr;
    // The latest packet, held until the next one gives its duration.
    AVPacket* pending_ = nullptr;
    bool hasPending_ = false;
    std::int64_t lastDuration_ = 0;
    AVFrame* picture_ = nullptr;
    // Keyframes are asked for by time, since capture rates vary.
    std::int64_t keyframeTicks_ = 0;
    std::int64_t lastKeyframe_ = -1;
};

}  // namespace qv
