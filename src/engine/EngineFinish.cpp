// Finish, close and termination: ending a recording alone, or stopping the whole connection and,
// when closing, the helper.
#include "engine/Engine.h"

#include "base/CaptureError.h"
#include "base/Runtime.h"
#include "base/Timer.h"
#include "base/Uuid.h"
#include "device/CaptureSession.h"
#include "files/OwnedFiles.h"
#include "media/MovieWriter.h"
#include "preview/LatestPreview.h"
#include "protocol/Output.h"
#include "recording/DeadlineWatchdog.h"
#include "recording/Movie.h"

namespace qv {

void Engine::inputEnded() {
    close(std::nullopt, FinishReason::eof);
}

void Engine::inputFailed(const std::string& code) {
    terminate(code);
}

void Engine::beginSimulatedFinish(const std::string& operation) {
    assertOnQueue(controlQueue());
    lifecycle_.finishingOperationID = operation;
    lifecycle_.busy = true;
}

void Engine::endSimulatedFinish() {
    assertOnQueue(controlQueue());
    lifecycle_.finishingOperationID.reset();
    lifecycle_.busy = false;
    endCloseIfNeeded(false);
}

void Engine::close(const std::optional<std::string>& requestId, FinishReason reason) {
    assertOnQueue(controlQueue());
    if (lifecycle_.shutdown) {
        if (requestId) failure(*requestId, closing().json());
        return;
    }
    lifecycle_.shutdown = true;
    lifecycle_.permissionRequestID.reset();
    lifecycle_.closingReply = requestId;
    finish(reason, true);
    globalAfter(limits_.closeExitSeconds, [] { exitProcess(2); });
}

void Engine::terminate(const std::string& code) {
    assertOnQueue(controlQueue());
    if (lifecycle_.terminating) return;
    lifecycle_.terminating = true;
    const Json record = CaptureError(code,
                                     "Owned native helper is stopping after a bounded transport/native "
                                     "failure; normal release is not yet confirmed")
                            .json();
    lastError_ = record;
    output_->send(fatalJSON(id_, record));
    close(std::nullopt, FinishReason::error);
    globalAfter(limits_.terminateExitSeconds, [] { exitProcess(2); });
}

void Engine::endCloseIfNeeded(bool force) {
    assertOnQueue(controlQueue());
    if (!lifecycle_.shutdown && !force) return;
    connection_ = Connection::closed;
    changed();
    if (timer_) timer_->cancel();
    const bool released = lifecycle_.releaseConfirmed;
    if (lifecycle_.closingReply) {
        success(*lifecycle_.closingReply, Json{{"closed", released}, {"devicesReleased", released}});
        lifecycle_.closingReply.reset();
    }
    output_->send(Json{{"event", "closed"},
                       {"sessionId", id_},
                       {"stateSequence", sequence_},
                       {"devicesReleased", released}});
    output_->exitAfterDraining(released ? 0 : 2);
}

void Engine::armWatchdog(double seconds, FinishReason reason) {
    assertOnQueue(controlQueue());
    if (watchdog_) watchdog_->cancel();
    std::weak_ptr<Engine> weak = weak_from_this();
    // The forced stage must work while controlQueue is stuck, so it holds no engine.
    watchdog_ = std::make_shared<DeadlineWatchdog>(
        seconds, limits_.watchdogGraceSeconds,
        [weak, reason] {
            controlQueue().async([weak, reason] {
                if (auto strong = weak.lock()) strong->finish(reason, false);
            });
        },
        [channel = output_, sessionId = id_, exitSeconds = limits_.stalledExitSeconds] {
            channel->send(fatalJSON(sessionId, CaptureError("NATIVE_DEADLINE_TIMEOUT",
                                                            "Native stop/finalization exceeded its "
                                                            "independent deadline; normal release is "
                                                            "unconfirmed")
                                                   .json()));
            globalAfter(exitSeconds, [] { exitProcess(2); });
        });
}

void Engine::cancelWatchdog() {
    if (!watchdog_) return;
    watchdog_->cancel();
    watchdog_.reset();
}

void Engine::finish(FinishReason reason, bool closeHelper) {
    assertOnQueue(controlQueue());
    if (lifecycle_.finishingOperationID || connection_ == Connection::stopping ||
        (lifecycle_.busy && connection_ == Connection::connecting)) {
        // A finish or a connect start in progress picks the close up when it ends.
        if (closeHelper) lifecycle_.shutdown = true;
        return;
    }
    if (endsOnlyTheRecording(reason) && !closeHelper && !lifecycle_.shutdown && movie_ &&
        !movie_->completed) {
        finishRecording(reason);
    } else {
        fullStop(reason, closeHelper);
    }
}

void Engine::finishRecording(FinishReason reason) {
    lifecycle_.busy = true;
    lifecycle_.finishingOperationID = randomUuid();
    movie_->state = RecordingState::finishing;
    armWatchdog(limits_.recordingFinishSeconds, FinishReason::error);
    changed();
    std::weak_ptr<Engine> weak = weak_from_this();
    finalizeWriter(movie_, [weak, finished = movie_, reason] {
        auto strong = weak.lock();
        if (!strong) return;
        strong->finishedMovie(finished, reason, false, false);
        // A close that arrived meanwhile was held back until the recording was reported.
        if (strong->lifecycle_.shutdown) strong->finish(FinishReason::close, true);
    });
}

void Engine::finalizeWriter(const std::shared_ptr<Movie>& finished, std::function<void()> then) {
    const auto& writer = finished->writer;
    writer->markVideoFinished();
    if (writer->hasAudio()) writer->markAudioFinished();
    if (finished->firstPTS && writer->status() != MovieWriter::Status::failed) {
        writer->finish([then = std::move(then)] { controlQueue().async(then); });
    } else {
        writer->cancel();
        controlQueue().async(std::move(then));
    }
}

void Engine::fullStop(FinishReason reason, bool closeHelper) {
    lifecycle_.busy = true;
    connection_ = Connection::stopping;
    const std::string operation = randomUuid();
    lifecycle_.transitionID = operation;
    lifecycle_.finishingOperationID = operation;
    changed();

    std::shared_ptr<Movie> stopped = movie_ && !movie_->completed ? movie_ : nullptr;
    if (stopped) stopped->state = RecordingState::finishing;
    auto join = std::make_shared<StopJoin>();
    std::weak_ptr<Engine> weak = weak_from_this();

    preview().stop([weak, join, stopped, reason, closeHelper] {
        auto strong = weak.lock();
        if (!strong) return;
        join->previewStopped = true;
        strong->finishWhenReady(join, stopped, reason, closeHelper);
    });

    nativeQueue().async([weak, join, stopped, reason, closeHelper, running = session_] {
        const bool released = releaseSession(running);
        controlQueue().async([weak, join, stopped, reason, closeHelper, released] {
            auto strong = weak.lock();
            if (!strong) return;
            join->released = released;
            strong->finishWhenReady(join, stopped, reason, closeHelper);
        });
    });

    globalAfter(limits_.finishSeconds, [weak, operation, stopped] {
        controlQueue().async([weak, operation, stopped] {
            auto strong = weak.lock();
            if (!strong) return;
            const bool unfinished = strong->connection_ == Connection::stopping ||
                                    (stopped && stopped->state == RecordingState::finishing);
            if (strong->lifecycle_.transitionID == operation && strong->lifecycle_.busy && unfinished) {
                strong->terminate("NATIVE_FINISH_TIMEOUT");
            }
        });
    });
}

void Engine::finishWhenReady(const std::shared_ptr<StopJoin>& join, const std::shared_ptr<Movie>& stopped,
                             FinishReason reason, bool closeHelper) {
    assertOnQueue(controlQueue());
    if (!join->previewStopped || !join->released) return;
    const bool released = *join->released;
    session_.reset();
    videoOutput_.reset();
    lifecycle_.releaseConfirmed = released;
    connection_ = released ? Connection::disconnected : Connection::failed;
    changed();
    if (!stopped) {
        // An unconfirmed release keeps the deadline armed: its forced stage still ends the helper.
        if (released) cancelWatchdog();
        lifecycle_.finishingOperationID.reset();
        lifecycle_.busy = false;
        endCloseIfNeeded(closeHelper);
        return;
    }
    std::weak_ptr<Engine> weak = weak_from_this();
    finalizeWriter(stopped, [weak, stopped, reason, released, closeHelper] {
        if (auto strong = weak.lock()) strong->finishedMovie(stopped, reason, released, closeHelper);
    });
}

void Engine::finishedMovie(const std::shared_ptr<Movie>& finished, FinishReason reason, bool released,
                           bool closeHelper) {
    assertOnQueue(controlQueue());
    Json error = lastError_.value_or(nullptr);
    Json basename = nullptr;
    Json sha256 = nullptr;
    std::int64_t bytes = 0;
    try {
        finished->writer->setMode(0600);
        const auto metadata = files_->metadata(finished->basename);
        bytes = metadata.bytes;
        sha256 = metadata.sha256;
        basename = finished->basename;
    } catch (...) {
        error = currentErrorJSON();
        bytes = 0;
    }

    const auto& writer = finished->writer;
    const RecordingOutcome outcome =
        recordingOutcome({.reason = reason,
                          .devicesReleased = released,
                          .streamRunning = connection_ == Connection::connected,
                          .writerCompleted = writer->status() == MovieWriter::Status::completed,
                          .videoSamples = finished->videoSamples,
                          .bytes = bytes,
                          .errorRecorded = lastError_.has_value()});
    finished->state = outcome.state;
    if (outcome.state != RecordingState::complete && error.is_null()) {
        error = CaptureError("CAPTURE_PARTIAL", "Capture did not complete normally").json();
    }

    const Json record{{"captureId", finished->id},
                      {"state", protocolName(finished->state)},
                      {"basename", basename},
                      {"bytes", bytes},
                      {"sha256", sha256},
                      {"durationMs", finished->elapsedMs()},
                      {"requestedDurationMs", finished->durationMs},
                      {"videoSamples", finished->videoSamples},
                      {"audioSamples", finished->audioSamples},
                      {"droppedVideoSamples", finished->droppedVideo},
                      {"droppedAudioSamples", finished->droppedAudio},
                      {"reason", protocolName(reason)},
                      {"error", error},
                      {"devicesReleased", released},
                      {"streamContinues", outcome.streamContinues}};
    finished->completed = record;

    // Once the devices are released, or the recording alone ended, its deadline has no more to
    // guard; a recording cut short by a stream that is not released keeps it for the forced stage.
    if (released || outcome.streamContinues) cancelWatchdog();
    lifecycle_.finishingOperationID.reset();
    lifecycle_.busy = false;
    changed();
    output_->send(Json{{"event", "recording_finished"},
                       {"sessionId", id_},
                       {"stateSequence", sequence_},
                       {"recording", record}});
    if (!outcome.streamContinues) endCloseIfNeeded(closeHelper);
}

}  // namespace qv
