#pragma once

#include "base/CaptureError.h"
#include "media/AacTrack.h"
#include "media/AudioSample.h"
#include "media/H264Track.h"
#include "media/Mp4Output.h"

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qv {

// Writes one MP4 file with an H.264 video track and an optional AAC audio track. The caller
// appends from one thread; encoding and muxing run on the writer's own thread behind a small
// bounded queue, so "ready" means that queue has room and a full queue never blocks the caller.
class MovieWriter {
public:
    enum class Status { configuring, writing, completed, failed, cancelled };

    // Writes to `fd`, the new empty file `name` in the directory open as `directoryFd`; see Mp4Output.
    // Throws PlatformError("FFmpeg", code).
    MovieWriter(int fd, int directoryFd, std::string name);
    ~MovieWriter();

    // Runs the encoders' one-time library set-up (CPU detection, tables) once per process, so that
    // the first writer, made on a thread that also delivers frames, does not pay for it. Safe from
    // any thread; a failure here is left for a real writer to report.
    static void prepareEncoders(const VideoSettings& video, const AudioSettings& audio);
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Before startWriting. False when the input cannot be added (error() tells why).
    bool addVideo(const VideoSettings& settings);
    bool addAudio(const AudioSettings& settings);
    bool hasAudio() const { return audio_ != nullptr; }
    // Writes the header and starts the encoding thread; false on failure, with error().
    bool startWriting();
    // `sourceTime` (seconds) becomes the file's time zero; appends before it fail.
    void startSession(double sourceTime);

    bool isVideoReady() const;
    bool isAudioReady() const;
    // Queues a picture that `fill` draws on the writer's thread just before it is encoded, so the
    // caller's thread does no per-pixel work. `fill` must own what it reads. False when it cannot
    // be queued: not writing, not ready, or a time before the session.
    bool appendVideo(VideoFill fill, double time);
    bool appendAudio(const AudioSample& sample);

    void markVideoFinished();
    void markAudioFinished();
    // Drains the encoders and writes the trailer; `completion` runs once, on the writer's thread.
    void finish(std::function<void()> completion);
    // Stops writing at once; the file is left incomplete. A pending completion still runs.
    void cancel();

    Status status() const { return status_.load(); }
    std::optional<PlatformError> error() const;
    // The file's size now, read through the descriptor; -1 when it cannot be read.
    std::int64_t fileSize() const;
    // Sets the file's mode through the descriptor. Throws PlatformError("POSIX", errno).
    void setMode(mode_t mode);

private:
    struct Item {
        enum class Kind { video, audio, end } kind;
        VideoFill fill;
        std::int64_t pts = 0;
        std::vector<std::int16_t> pcm;
        double time = 0;  // audio: when its first sample was heard, in samples from time zero
    };

    // Records the first failure; returns whether `result` was one.
    bool failed(int result);
    void run();
    void finishFile();

    Mp4Output output_;
    std::unique_ptr<H264Track> video_;
    std::unique_ptr<AacTrack> audio_;

    std::atomic<Status> status_{Status::configuring};
    std::optional<double> sessionStart_;
    std::int64_t lastVideoPts_ = -1;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> items_;
    int queuedVideo_ = 0;
    int queuedAudio_ = 0;
    bool videoFinished_ = false;
    bool audioFinished_ = false;
    bool ending_ = false;
    bool cancelled_ = false;
    std::function<void()> completion_;
    std::optional<PlatformError> error_;

    std::thread thread_;
    std::thread lateCompletion_;
};

}  // namespace qv
