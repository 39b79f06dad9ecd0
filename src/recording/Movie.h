#pragma once

#include "base/CaptureError.h"
#include "base/Json.h"
#include "media/AudioSample.h"
#include "media/MovieWriter.h"
#include "media/PixelBuffer.h"
#include "recording/RecordingOutcome.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qv {

class OwnedFiles;
class Queue;

// Average H.264 bit rate for a recording of a w × h source.
std::int64_t recordingBitRate(int width, int height);

// The 4:2:0 BT.601 picture of `source` enlarged 8× by repeating every pixel as an 8 × 8 block, written
// into planes of 8× the source size. `scratch` holds 3 × width × height bytes.
void enlargeToI420(const PixelBuffer& source, std::uint8_t* const planes[3], const int strides[3],
                   std::uint8_t* scratch);

// One recording: an MP4 file "capture-<id>.mp4" in the private directory with an H.264 track that
// enlarges every source pixel to an 8 × 8 block and, with an audio format, an AAC track.
// Confined to one thread (the control queue in the helper); media times are in seconds.
class Movie {
public:
    // Creates the file and starts writing; the picture size comes from `pixel`. Throws a
    // CaptureError, or a PlatformError when the writer itself cannot be made. A failed creation
    // leaves no file behind.
    Movie(std::string id, std::int64_t durationMs, OwnedFiles& files, const PixelBufferRef& pixel,
          std::optional<AudioFormat> audioFormat);

    // Sets up the encoders' libraries once, with the recording's settings, ahead of the first
    // recording. Safe from any thread.
    static void prepareEncoders();

    // The recording rules, while `state` is recording. Each returns "WRITER_FAILED" when the writer
    // has failed by now; the caller then ends the recording with that error.
    std::optional<CaptureError> recordVideo(const PixelBufferRef& frame, double time);
    std::optional<CaptureError> recordAudio(const AudioSample& sample);

    // Samples the capture layer dropped while recording are gaps in the file.
    void videoDropped();
    void audioDropped(int count);

    // Enlarges the frame 8× and appends it at `time`; true when the writer took it.
    bool appendVideo(const PixelBufferRef& frame, double time);
    // The size of the file being written, through the writer's descriptor.
    std::int64_t fileSize() const;

    // Takes no more media: the recording is finishing.
    void beginFinishing();
    // Marks the inputs finished and finishes the file, or with nothing to keep cancels it; `done`
    // runs on `queue` afterwards. Never fails.
    void finish(Queue& queue, std::function<void()> done);

    // What the owner knows once the file is finished.
    struct End {
        FinishReason reason;
        bool devicesReleased = false;
        // The capture session still runs.
        bool streamRunning = false;
        std::optional<Json> lastError;
    };
    // Sets the final state and the `completed` record from the file and `end`; true when the
    // capture session goes on without the recording. Never throws.
    bool conclude(const OwnedFiles& files, const End& end);
    // Milliseconds from the first to the latest written video frame.
    std::int64_t elapsedMs() const;
    // The record while recording, or `completed` once set.
    Json json() const;

    const std::string id;
    const std::string basename;
    const std::int64_t durationMs;
    const double deadline;
    const std::int64_t deadlineUnixMs;
    // Shared so the finish path can hold it past the movie's life.
    std::shared_ptr<MovieWriter> writer;

    RecordingState state = RecordingState::recording;
    std::optional<double> firstPTS;
    std::optional<double> lastVideoPTS;
    std::optional<double> lastAudioPTS;
    std::int64_t videoSamples = 0;
    std::int64_t audioSamples = 0;
    std::int64_t droppedVideo = 0;
    std::int64_t droppedAudio = 0;
    std::optional<Json> completed;

private:
    std::optional<CaptureError> failedWriter() const;

    int width_ = 0;
    int height_ = 0;
    // The source converted to full-resolution YUV before enlargement, kept for every frame. Used on
    // the writer's thread, and shared because the writer may outlive the movie.
    std::shared_ptr<std::vector<std::uint8_t>> yuv_;
};

}  // namespace qv
