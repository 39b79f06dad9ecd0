// Connection: starting the capture session, its samples and the tick that watches them.
#include "engine/Engine.h"

#include "base/CaptureError.h"
#include "base/Clock.h"
#include "base/Runtime.h"
#include "base/Timer.h"
#include "base/Uuid.h"
#include "device/CaptureSession.h"
#include "engine/VideoFormatRecord.h"
#include "media/MovieWriter.h"
#include "preview/LatestPreview.h"
#include "protocol/Output.h"
#include "recording/Movie.h"

#include <cmath>
#include <system_error>

namespace qv {

namespace {

// A running capture session and what the engine keeps of it.
struct StartedSession {
    std::shared_ptr<CaptureSession> session;
    std::shared_ptr<VideoDataOutput> videoOutput;
    Json videoFormat;
};

// Opens the device and adds it; opening may throw the device layer's own error.
void attachInput(CaptureSession& session, const CaptureDeviceRef& device, const char* refusal) {
    auto input = device->createInput();
    if (!session.canAddInput(input)) throw CaptureError("INPUT_UNSUPPORTED", refusal);
    session.addInput(std::move(input));
}

void attachOutput(CaptureSession& session, std::shared_ptr<CaptureOutput> output, const char* refusal) {
    if (!session.canAddOutput(output)) throw CaptureError("OUTPUT_UNSUPPORTED", refusal);
    session.addOutput(std::move(output));
}

bool withinFrameBounds(const PixelBuffer& frame, const Limits& limits) {
    const int width = frame.width();
    const int height = frame.height();
    return width >= 1 && width <= limits.largestFrameSide && height >= 1 &&
           height <= limits.largestFrameSide &&
           static_cast<std::int64_t>(width) * height <= limits.largestFramePixels;
}

bool recording(const std::shared_ptr<Movie>& movie) {
    return movie && movie->state == RecordingState::recording;
}

}  // namespace

bool Engine::releaseSession(const std::shared_ptr<CaptureSession>& session) {
    assertOnQueue(nativeQueue());
    if (!session) return true;
    session->stopRunning();
    const auto outputs = session->outputs();
    for (const auto& output : outputs) {
        output->clearDelegate();
        session->removeOutput(output);
    }
    const auto inputs = session->inputs();
    for (const auto& input : inputs) session->removeInput(input);
    return !session->isRunning() && session->inputs().empty() && session->outputs().empty();
}

namespace {

// Builds and starts the session; blocks, so it runs on nativeQueue. On failure the half-built
// session is taken apart before the error goes on.
StartedSession startSession(const std::shared_ptr<Engine>& engine, const CaptureDeviceRef& video,
                            const CaptureDeviceRef& audio,
                            bool (*release)(const std::shared_ptr<CaptureSession>&)) {
    auto session = std::make_shared<CaptureSession>();
    try {
        attachInput(*session, video, "Cannot attach selected video input");
        auto videoOutput = std::make_shared<VideoDataOutput>();
        videoOutput->setDelegate(std::weak_ptr<VideoDataOutputDelegate>(engine));
        attachOutput(*session, videoOutput, "Cannot attach video output");
        if (audio) {
            attachInput(*session, audio, "Cannot attach selected audio input");
            auto audioOutput = std::make_shared<AudioDataOutput>();
            audioOutput->setDelegate(std::weak_ptr<AudioDataOutputDelegate>(engine));
            attachOutput(*session, audioOutput, "Cannot attach audio output");
        }
        session->startRunning();
        if (!session->isRunning()) throw CaptureError("START_FAILED", "Native session did not start");
        return {session, videoOutput, videoFormatRecord(*video, mono())};
    } catch (...) {
        release(session);
        throw;
    }
}

}  // namespace

void Engine::connect(const std::string& requestId, const CaptureDeviceRef& video,
                     const CaptureDeviceRef& audio) {
    assertOnQueue(controlQueue());
    // A connected host may start a recording at any moment; the encoders' one-time set-up would
    // otherwise run inside that request on the control queue, long enough to drop a frame. Only
    // a head start: without a thread for it, the first recording does the set-up itself.
    try {
        dispatchGlobal([] { Movie::prepareEncoders(); });
    } catch (const std::system_error&) {
    }
    // The last step that may fail; from here on nothing throws.
    preview().begin(randomUuid(), previewFPS_);

    lifecycle_.transition = Transition::connecting;
    connection_ = Connection::connecting;
    changed();

    lastError_.reset();
    source_ = SourceState{};

    const std::string& videoName = video->localizedName();
    Json chosen = {{"videoDeviceId", video->uniqueId()},
                   {"videoLabel", videoName},
                   {"player", videoName.substr(videoName.size() - 2)}};
    if (audio) {
        chosen["audioDeviceId"] = audio->uniqueId();
        chosen["audioLabel"] = audio->localizedName();
    }
    selection_ = chosen;

    auto self = shared_from_this();
    nativeQueue().async([self, requestId, video, audio] {
        try {
            StartedSession started = startSession(self, video, audio, &Engine::releaseSession);
            controlQueue().async([self, requestId, started] {
                self->sessionStarted(requestId, started.session, started.videoOutput, started.videoFormat);
            });
        } catch (...) {
            const Json record = currentErrorJSON();
            controlQueue().async([self, requestId, record] { self->sessionFailed(requestId, record); });
        }
    });
    std::weak_ptr<Engine> weak = self;
    startTimeout_->start(limits_.startSeconds, 0, [weak] {
        if (auto strong = weak.lock()) strong->terminate("NATIVE_START_TIMEOUT");
    });
}

void Engine::sessionStarted(const std::string& requestId, std::shared_ptr<CaptureSession> started,
                            std::shared_ptr<VideoDataOutput> startedOutput, const Json& format) {
    assertOnQueue(controlQueue());
    startTimeout_->cancel();
    source_.videoFormat = format;
    session_ = std::move(started);
    videoOutput_ = std::move(startedOutput);
    lifecycle_.holdingDevices = true;
    lifecycle_.transition = Transition::none;
    connection_ = Connection::connected;
    connectedMono_ = clock_();
    // Bounds the connection until a recording starts; a recording's own deadline replaces it, and
    // once that recording ends with the stream still running no deadline is armed again.
    armWatchdog(limits_.sessionSeconds, FinishReason::sessionLimit);
    changed();
    success(requestId, status(false));
    if (lifecycle_.shutdown) finish(FinishReason::close, true);
}

void Engine::sessionFailed(const std::string& requestId, const Json& error) {
    assertOnQueue(controlQueue());
    startTimeout_->cancel();
    auto self = shared_from_this();
    preview().stop([self, requestId, error] {
        self->lifecycle_.transition = Transition::none;
        self->connection_ = Connection::failed;
        self->lastError_ = error;
        self->changed();
        self->failure(requestId, error);
        if (self->lifecycle_.shutdown) self->output_->exitAfterDraining(1);
    });
}

void Engine::didOutputVideo(const VideoSample& sample) {
    assertOnQueue(controlQueue());
    if (connection_ != Connection::connected) return;
    const double seconds = sample.presentationTime;
    if (!std::isfinite(seconds) || seconds < 0 || !sample.image) return;
    if (!withinFrameBounds(*sample.image, limits_)) {
        lastError_ = CaptureError("FRAME_BOUND", "Native frame exceeds dimension bounds").json();
        finish(FinishReason::error, false);
        return;
    }
    source_.latestPixel = sample.image;
    source_.frameID += 1;
    if (!source_.firstPTS) source_.firstPTS = seconds;
    source_.lastPTS = seconds;
    source_.latestArrival = clock_();
    if (recording(movie_)) {
        if (auto failed = movie_->recordVideo(source_.latestPixel, seconds)) {
            lastError_ = failed->json();
            finish(FinishReason::error, false);
            return;
        }
    }
    preview().offer(source_.latestPixel, source_.frameID, seconds, mono());
}

void Engine::didOutputAudio(const AudioSample& sample) {
    assertOnQueue(controlQueue());
    if (connection_ != Connection::connected) return;
    const double seconds = sample.presentationTime;
    if (!std::isfinite(seconds) || seconds < 0) return;
    source_.audioSamples += 1;
    source_.latestAudioFormat = sample.format;
    if (recording(movie_)) {
        if (auto failed = movie_->recordAudio(sample)) {
            lastError_ = failed->json();
            finish(FinishReason::error, false);
        }
    }
}

void Engine::didDropAudio(int count) {
    assertOnQueue(controlQueue());
    // Audio lost while the queue was held up is a gap in the recording like any refused buffer.
    if (recording(movie_)) movie_->audioDropped(count);
}

void Engine::didDropVideo() {
    assertOnQueue(controlQueue());
    source_.nativeDroppedVideoSamples += 1;
    if (recording(movie_)) movie_->videoDropped();
}

void Engine::tick() {
    assertOnQueue(controlQueue());
    if (recording(movie_)) {
        if (movie_->deadline <= mono()) {
            finish(FinishReason::duration, false);
            return;
        }
        // Through the writer's descriptor: the file being written, whatever its name now points at.
        if (movie_->fileSize() >= limits_.maxRecordBytes - limits_.recordingHeadroomBytes) {
            finish(FinishReason::limit, false);
            return;
        }
    }
    if (connection_ == Connection::connected) {
        const double now = clock_();
        const bool neverStarted =
            source_.latestArrival <= 0 && now - connectedMono_ > limits_.firstFrameSeconds;
        const bool stopped =
            source_.latestArrival > 0 && now - source_.latestArrival > limits_.frameGapSeconds;
        if (neverStarted || stopped) {
            lastError_ =
                CaptureError("DEVICE_STALLED", "The selected native video stopped producing frames").json();
            finish(FinishReason::error, false);
        }
    }
}

}  // namespace qv
