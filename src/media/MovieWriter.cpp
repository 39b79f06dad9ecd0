#include "media/MovieWriter.h"

#include "base/FaultInjection.h"

extern "C" {
#include <libavutil/error.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <system_error>
#include <utility>

namespace qv {

namespace {

// Small on purpose: a writer that falls behind makes the caller drop frames instead of queueing
// seconds of pictures.
constexpr int videoQueueCapacity = 3;
// Sound is small (a 10 ms block is a few kilobytes) and a lost block is a gap the listener hears,
// so a second of it waits while a slow picture holds the writer up on a busy machine.
constexpr int audioQueueCapacity = 100;

}  // namespace

MovieWriter::MovieWriter(int fd, int directoryFd, std::string name)
    : output_(fd, directoryFd, std::move(name)) {}

MovieWriter::~MovieWriter() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    wake_.notify_all();
    // The completion may drop the last reference on the writer's own thread.
    for (std::thread* thread : {&thread_, &lateCompletion_}) {
        if (!thread->joinable()) continue;
        if (thread->get_id() == std::this_thread::get_id()) {
            thread->detach();
        } else {
            thread->join();
        }
    }
}

bool MovieWriter::failed(int result) {
    if (result >= 0) return false;
    {
        std::lock_guard lock(mutex_);
        if (!error_) error_ = PlatformError("FFmpeg", result);
    }
    Status expected = status_.load();
    while ((expected == Status::configuring || expected == Status::writing) &&
           !status_.compare_exchange_weak(expected, Status::failed)) {
    }
    return true;
}

std::optional<PlatformError> MovieWriter::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void MovieWriter::prepareEncoders(const VideoSettings& video, const AudioSettings& audio) {
    static std::once_flag once;
    std::call_once(once, [&] {
        H264Track::prepare(video);
        AacTrack::prepare(audio);
    });
}

bool MovieWriter::addVideo(const VideoSettings& settings) {
    if (status_ != Status::configuring || video_ || !H264Track::acceptable(settings)) return false;
    auto track = std::make_unique<H264Track>();
    if (failed(track->open(settings, output_))) return false;
    video_ = std::move(track);
    return true;
}

bool MovieWriter::addAudio(const AudioSettings& settings) {
    if (status_ != Status::configuring || audio_ || !AacTrack::acceptable(settings)) return false;
    auto track = std::make_unique<AacTrack>();
    if (failed(track->open(settings, output_))) return false;
    audio_ = std::move(track);
    return true;
}

bool MovieWriter::startWriting() {
    if (status_ != Status::configuring || !video_) return false;
    if (failed(output_.writeHeader())) return false;
    status_ = Status::writing;
    try {
        FaultInjection::acquire(FaultInjection::Kind::thread);
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& error) {
        failed(AVERROR(error.code().value()));
        return false;
    }
    return true;
}

void MovieWriter::startSession(double sourceTime) {
    if (!sessionStart_) sessionStart_ = sourceTime;
}

bool MovieWriter::isVideoReady() const {
    std::lock_guard lock(mutex_);
    return status_ == Status::writing && !videoFinished_ && !ending_ && queuedVideo_ < videoQueueCapacity;
}

bool MovieWriter::isAudioReady() const {
    std::lock_guard lock(mutex_);
    return audio_ && status_ == Status::writing && !audioFinished_ && !ending_ &&
           queuedAudio_ < audioQueueCapacity;
}

bool MovieWriter::appendVideo(VideoFill fill, double time) {
    if (!fill || !video_ || !sessionStart_ || time < *sessionStart_) return false;
    std::int64_t pts = std::llround((time - *sessionStart_) * H264Track::timeScale);
    // Distinct source times closer than one tick must still give rising timestamps.
    pts = std::max(pts, lastVideoPts_ + 1);
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::writing || videoFinished_ || ending_ || queuedVideo_ >= videoQueueCapacity) {
            return false;
        }
        items_.push_back(Item{Item::Kind::video, std::move(fill), pts, {}});
        ++queuedVideo_;
    }
    lastVideoPts_ = pts;
    wake_.notify_one();
    return true;
}

bool MovieWriter::appendAudio(const AudioSample& sample) {
    if (!audio_ || !sessionStart_ || sample.presentationTime < *sessionStart_) return false;
    if (sample.format.sampleRate != audio_->sampleRate() || sample.format.channels != audio_->channels() ||
        sample.samples.empty() || sample.samples.size() % static_cast<std::size_t>(audio_->channels()) != 0) {
        return false;
    }
    const double time = (sample.presentationTime - *sessionStart_) * audio_->sampleRate();
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::writing || audioFinished_ || ending_ || queuedAudio_ >= audioQueueCapacity) {
            return false;
        }
        items_.push_back(Item{Item::Kind::audio, nullptr, 0, sample.samples, time});
        ++queuedAudio_;
    }
    wake_.notify_one();
    return true;
}

void MovieWriter::markVideoFinished() {
    std::lock_guard lock(mutex_);
    videoFinished_ = true;
}

void MovieWriter::markAudioFinished() {
    std::lock_guard lock(mutex_);
    audioFinished_ = true;
}

void MovieWriter::finish(std::function<void()> completion) {
    {
        std::lock_guard lock(mutex_);
        if (ending_) return;
        ending_ = true;
        if (thread_.joinable() && !cancelled_) {
            completion_ = std::move(completion);
            items_.push_back(Item{Item::Kind::end, nullptr, 0, {}});
            wake_.notify_one();
            return;
        }
    }
    // Never started, or cancelled: nothing to drain, but the completion still runs once, on
    // another thread.
    failed(AVERROR(EINVAL));
    try {
        lateCompletion_ = std::thread([completion] {
            if (completion) completion();
        });
    } catch (const std::system_error&) {
        // Out of threads: the completion still runs once, here. It only posts to its owner's queue.
        if (completion) completion();
    }
}

void MovieWriter::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    Status expected = status_.load();
    while ((expected == Status::configuring || expected == Status::writing) &&
           !status_.compare_exchange_weak(expected, Status::cancelled)) {
    }
    wake_.notify_one();
}

std::int64_t MovieWriter::fileSize() const {
    return output_.fileSize();
}

void MovieWriter::setMode(mode_t mode) {
    output_.setMode(mode);
}

void MovieWriter::run() {
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return cancelled_ || !items_.empty(); });
            if (cancelled_ && !completion_) return;
            if (cancelled_) {
                items_.clear();
                queuedVideo_ = queuedAudio_ = 0;
                item.kind = Item::Kind::end;
            } else {
                item = std::move(items_.front());
                items_.pop_front();
            }
        }
        const bool working = status_ == Status::writing;
        if (item.kind == Item::Kind::end) {
            if (working) finishFile();
            std::function<void()> done;
            {
                std::lock_guard lock(mutex_);
                done = std::move(completion_);
            }
            // The completion may destroy the writer: nothing here touches it afterwards.
            if (done) done();
            return;
        }
        if (working && item.kind == Item::Kind::video) failed(video_->encode(item.fill, item.pts, output_));
        if (working && item.kind == Item::Kind::audio)
            failed(audio_->encode(std::move(item.pcm), item.time, output_));
        item.fill = nullptr;  // lets go of the source picture it holds
        std::lock_guard lock(mutex_);
        if (item.kind == Item::Kind::video) --queuedVideo_;
        if (item.kind == Item::Kind::audio) --queuedAudio_;
    }
}

void MovieWriter::finishFile() {
    if (failed(video_->finish(output_))) return;
    if (audio_ && failed(audio_->finish(output_))) return;
    if (failed(output_.finish())) return;
    Status expected = Status::writing;
    status_.compare_exchange_strong(expected, Status::completed);
}

}  // namespace qv
