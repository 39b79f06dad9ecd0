// Finish, close and termination: ending a recording alone, or stopping the whole connection and,
// when closing, the helper.
#include "engine/Engine.h"

#include "base/CaptureError.h"
#include "base/Runtime.h"
#include "base/Timer.h"
#include "device/CaptureSession.h"
#include "files/OwnedFiles.h"
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

void Engine::beginSimulatedFinish() {
    assertOnQueue(controlQueue());
    lifecycle_.transition = Transition::finishingRecording;
}

void Engine::endSimulatedFinish() {
    assertOnQueue(controlQueue());
    lifecycle_.transition = Transition::none;
    endCloseIfNeeded(false);
}

void Engine::close(const std::optional<std::string>& requestId, FinishReason reason) {
    assertOnQueue(controlQueue());
    if (lifecycle_.shutdown) {
        if (requestId) failure(*requestId, closing().json());
        return;
    }
    lifecycle_.shutdown = true;
    // An outstanding permission answer is ignored from now on.
    permissionTimeout_->cancel();
    if (lifecycle_.transition == Transition::requestingPermission) lifecycle_.transition = Transition::none;
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
    tickTimer_->cancel();
    const bool released = lifecycle_.releaseConfirmed();
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
    std::weak_ptr<Engine> weak = weak_from_this();
    // The forced stage must work while controlQueue is stuck, so it holds no engine.
    watchdog_->arm(
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
    assertOnQueue(controlQueue());
    watchdog_->cancel();
}

void Engine::finish(FinishReason reason, bool closeHelper) {
    assertOnQueue(controlQueue());
    const Transition current = lifecycle_.transition;
    if (current == Transition::finishingRecording || current == Transition::stopping ||
        current == Transition::connecting) {
        // A finish or a connect start in progress picks the close up when it ends.
        if (closeHelper) lifecycle_.shutdown = true;
        return;
    }
    // A permission is only requested with no session running, so there is nothing to stop; a close
    // has already ended the request.
    if (current == Transition::requestingPermission) return;
    if (endsOnlyTheRecording(reason) && !closeHelper && !lifecycle_.shutdown && movie_ &&
        !movie_->completed) {
        finishRecording(reason);
    } else {
        fullStop(reason, closeHelper);
    }
}

void Engine::finishRecording(FinishReason reason) {
    assertOnQueue(controlQueue());
    lifecycle_.transition = Transition::finishingRecording;
    movie_->beginFinishing();
    armWatchdog(limits_.recordingFinishSeconds, FinishReason::error);
    changed();
    std::weak_ptr<Engine> weak = weak_from_this();
    movie_->finish(controlQueue(), [weak, finished = movie_, reason] {
        auto strong = weak.lock();
        if (!strong) return;
        strong->finishedMovie(finished, reason, false, false);
        // A close that arrived meanwhile was held back until the recording was reported.
        if (strong->lifecycle_.shutdown) strong->finish(FinishReason::close, true);
    });
}

void Engine::fullStop(FinishReason reason, bool closeHelper) {
    assertOnQueue(controlQueue());
    lifecycle_.transition = Transition::stopping;
    connection_ = Connection::stopping;
    changed();

    std::shared_ptr<Movie> stopped = movie_ && !movie_->completed ? movie_ : nullptr;
    if (stopped) stopped->beginFinishing();
    auto join = std::make_shared<StopJoin>();
    join->hadSession = session_ != nullptr;
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

    // Cancelled once the stop has released the session and reported any recording.
    finishTimeout_->start(limits_.finishSeconds, 0, [weak] {
        if (auto strong = weak.lock()) strong->terminate("NATIVE_FINISH_TIMEOUT");
    });
}

void Engine::finishWhenReady(const std::shared_ptr<StopJoin>& join, const std::shared_ptr<Movie>& stopped,
                             FinishReason reason, bool closeHelper) {
    assertOnQueue(controlQueue());
    if (!join->previewStopped || !join->released) return;
    session_.reset();
    videoOutput_.reset();
    lifecycle_.holdingDevices = false;
    if (!*join->released) lifecycle_.releaseLost = true;
    // This stop's own release; the close and the exit status also answer for every earlier one.
    const bool released = *join->released && (join->hadSession || !lifecycle_.releaseLost);
    connection_ = released ? Connection::disconnected : Connection::failed;
    changed();
    if (!stopped) {
        finishTimeout_->cancel();
        // An unconfirmed release keeps the deadline armed: its forced stage still ends the helper.
        if (released) cancelWatchdog();
        lifecycle_.transition = Transition::none;
        endCloseIfNeeded(closeHelper);
        return;
    }
    std::weak_ptr<Engine> weak = weak_from_this();
    stopped->finish(controlQueue(), [weak, stopped, reason, released, closeHelper] {
        if (auto strong = weak.lock()) strong->finishedMovie(stopped, reason, released, closeHelper);
    });
}

void Engine::finishedMovie(const std::shared_ptr<Movie>& finished, FinishReason reason, bool released,
                           bool closeHelper) {
    assertOnQueue(controlQueue());
    const bool streamContinues =
        finished->conclude(*files_, {.reason = reason,
                                     .devicesReleased = released,
                                     .streamRunning = connection_ == Connection::connected,
                                     .lastError = lastError_});
    // Once the devices are released, or the recording alone ended, its deadline has no more to
    // guard; a recording cut short by a stream that is not released keeps it for the forced stage.
    if (released || streamContinues) cancelWatchdog();
    finishTimeout_->cancel();
    lifecycle_.transition = Transition::none;
    changed();
    output_->send(Json{{"event", "recording_finished"},
                       {"sessionId", id_},
                       {"stateSequence", sequence_},
                       {"recording", finished->json()}});
    if (!streamContinues) endCloseIfNeeded(closeHelper);
}

}  // namespace qv
