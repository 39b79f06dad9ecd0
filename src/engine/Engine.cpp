#include "engine/Engine.h"

#include "recording/DeadlineWatchdog.h"
#include "recording/Movie.h"
#include "engine/VideoFormatRecord.h"
#include "engine/DeviceInventory.h"
#include "engine/PlayerName.h"
#include "engine/Screenshot.h"
#include "files/OwnedFiles.h"
#include "device/AudioDataOutput.h"
#include "device/CaptureSession.h"
#include "media/MovieWriter.h"
#include "base/Runtime.h"
#include "base/Timer.h"
#include "base/Uuid.h"
#include "device/VideoDataOutput.h"
#include "preview/LatestPreview.h"
#include "base/CaptureError.h"
#include "base/Clock.h"
#include "protocol/Output.h"
#include "protocol/Validation.h"

#include <cmath>
#include <csignal>
#include <span>
#include <string_view>

namespace qv {

namespace {

constexpr double tickSeconds = 0.25;
constexpr double closeExitSeconds = 17.0;
constexpr double terminateExitSeconds = 2.0;
constexpr double finishTimeoutSeconds = 15.0;
constexpr double watchdogGraceSeconds = 17.0;
constexpr double recordingFinishSeconds = 15.0;
constexpr double permissionTimeoutSeconds = 45.0;
constexpr double startTimeoutSeconds = 15.0;
constexpr double sessionLimitSeconds = 600.0;
constexpr double firstFrameSeconds = 10.0;
constexpr double frameGapSeconds = 5.0;
constexpr double liveFrameFreshSeconds = 5.0;
constexpr int largestFrameSide = 4096;
constexpr std::int64_t largestFramePixels = 8'388'608;
// A recording ends this far below the file-size ceiling, so the trailer still fits.
constexpr std::int64_t recordingHeadroomBytes = 2'097'152;
constexpr std::int64_t fallbackDurationMs = 180'000;

// Stops the session and takes it apart, on nativeQueue. True when the devices are known to be
// released: nothing runs and nothing is attached any more.
bool releaseSession(const std::shared_ptr<CaptureSession>& session) {
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

CaptureError closing() {
    return CaptureError("CLOSING", "Helper is closing");
}

Json withAccepted(Json status) {
    status["accepted"] = true;
    return status;
}

}  // namespace

struct Engine::Action {
    std::string_view name;
    std::span<const std::string_view> keys;
    bool whileBusy;
    void (Engine::*handler)(const std::string& requestId, const Json& request);
};

namespace {

constexpr std::string_view baseKeys[] = {"requestId", "action"};
constexpr std::string_view permissionKeys[] = {"requestId", "action", "media"};
constexpr std::string_view connectKeys[] = {"requestId", "action", "inventoryId", "selection", "previewFps"};
constexpr std::string_view releaseKeys[] = {"requestId", "action", "leaseId"};
constexpr std::string_view recordingKeys[] = {"requestId", "action", "captureId", "durationMs"};

}  // namespace

// The order is the order in which names are compared.
const Engine::Action* Engine::action(const std::string& name) {
    static const Action actions[] = {
        {"list", baseKeys, false, &Engine::handleList},
        {"permission_status", baseKeys, false, &Engine::handlePermissionStatus},
        {"request_permission", permissionKeys, false, &Engine::handleRequestPermission},
        {"connect", connectKeys, false, &Engine::handleConnect},
        {"status", baseKeys, true, &Engine::handleStatus},
        {"clock", baseKeys, false, &Engine::handleClock},
        {"live_frame", baseKeys, true, &Engine::handleLiveFrame},
        {"release_frame", releaseKeys, true, &Engine::handleReleaseFrame},
        {"screenshot", baseKeys, false, &Engine::handleScreenshot},
        {"start_recording", recordingKeys, false, &Engine::handleStartRecording},
        {"stop_recording", baseKeys, false, &Engine::handleStopRecording},
        {"disconnect", baseKeys, false, &Engine::handleDisconnect},
        {"close", baseKeys, true, &Engine::handleClose},
    };
    for (const auto& entry : actions) {
        if (entry.name == name) return &entry;
    }
    return nullptr;
}

std::shared_ptr<Engine> Engine::create(std::shared_ptr<Output> output,
                                       std::shared_ptr<DeviceSystem> devices) {
    std::shared_ptr<Engine> engine(new Engine(std::move(output), std::move(devices)));
    std::weak_ptr<Engine> weak = engine;
    engine->output->setOnFailure([weak] {
        controlQueue().async([weak] {
            if (auto strong = weak.lock()) strong->terminate("OUTPUT_BACKPRESSURE");
        });
        globalAfter(closeExitSeconds, [] { exitProcess(2); });
    });
    return engine;
}

Engine::Engine(std::shared_ptr<Output> channel, std::shared_ptr<DeviceSystem> deviceSystem)
    : id(randomUuid()),
      output(std::move(channel)),
      devices(std::move(deviceSystem)),
      transitionID(randomUuid()),
      permissionSnapshot(mono, [this] { return readPermissions(*devices); }) {
    files = std::make_shared<OwnedFiles>();
}

Engine::~Engine() = default;

void Engine::ready() {
    assertOnQueue(controlQueue());
    // The signal sources come first: a host that signals as soon as it has read "ready" must find
    // them in place, not the default action that would kill the helper.
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        auto source = std::make_unique<asio::signal_set>(controlQueue().context(), number);
        watchSignal(*source);
        signalSources.push_back(std::move(source));
    }

    std::weak_ptr<Engine> weak = weak_from_this();
    timer = std::make_unique<Timer>(controlQueue());
    timer->start(tickSeconds, tickSeconds, [weak] {
        if (auto strong = weak.lock()) strong->tick();
    });

    output->send(Json{{"event", "ready"},
                      {"protocolVersion", 1},
                      {"sessionId", id},
                      {"stateSequence", sequence},
                      {"sessionDir", files->url()},
                      {"platform", "linux"},
                      {"limits",
                       {{"maxDurationMs", static_cast<std::uint64_t>(maxDurationMs)},
                        {"maxRecordingBytes", static_cast<std::uint64_t>(maxRecordBytes)},
                        {"maxRecordings", static_cast<std::uint64_t>(maxRecordings)},
                        {"maxScreenshots", static_cast<std::uint64_t>(maxScreenshots)},
                        {"maxScreenshotBytes", static_cast<std::uint64_t>(maxSnapshotBytes)},
                        {"maxPreviewBytes", static_cast<std::uint64_t>(maxPreviewBytes)}}}});
}

void Engine::watchSignal(asio::signal_set& source) {
    std::weak_ptr<Engine> weak = weak_from_this();
    source.async_wait([weak, &source](const std::error_code& error, int) {
        if (error) return;
        auto strong = weak.lock();
        if (!strong) return;
        strong->close(std::nullopt, "signal");
        strong->watchSignal(source);
    });
}

void Engine::request(const Json& request) {
    assertOnQueue(controlQueue());
    std::string requestId;
    try {
        requestId = validatedRequestID(request);
    } catch (...) {
        terminate("INVALID_REQUEST");
        return;
    }
    try {
        dispatch(requestId, request);
    } catch (...) {
        failure(requestId, currentErrorJSON());
    }
}

void Engine::dispatch(const std::string& requestId, const Json& request) {
    const auto name = request.find("action");
    if (name == request.end() || !name->is_string()) {
        throw CaptureError("INVALID_REQUEST", "A bounded requestId and action are required");
    }
    if (shutdown) throw closing();
    const Action* entry = action(name->get_ref<const std::string&>());
    if (busy && !(entry && entry->whileBusy)) {
        throw CaptureError("BUSY", "A native state transition is still in progress");
    }
    if (!entry) throw CaptureError("UNKNOWN_ACTION", "Unknown native capture action");
    exactKeys(request, entry->keys);
    (this->*entry->handler)(requestId, request);
}

Json Engine::common() const {
    return Json{{"sessionId", id}, {"stateSequence", sequence}};
}

void Engine::success(const std::string& requestId, const Json& payload) {
    assertOnQueue(controlQueue());
    Json result = common();
    for (const auto& [key, value] : payload.items()) result[key] = value;
    output->send(Json{{"requestId", requestId}, {"ok", true}, {"result", std::move(result)}});
}

void Engine::failure(const std::string& requestId, const Json& errorRecord) {
    assertOnQueue(controlQueue());
    Json reply = common();
    reply["requestId"] = requestId;
    reply["ok"] = false;
    reply["error"] = errorRecord;
    output->send(reply);
}

void Engine::changed() {
    assertOnQueue(controlQueue());
    sequence += 1;
}

Json Engine::status(bool allowCachedPermissions) {
    assertOnQueue(controlQueue());
    Json source = nullptr;
    if (latestPixel) {
        source = Json{{"width", latestPixel->width()},
                      {"height", latestPixel->height()},
                      {"firstPTS", firstPTS.value_or(0.0)},
                      {"lastPTS", lastPTS.value_or(0.0)},
                      {"videoSamples", frameID},
                      {"audioSamples", audioSamples}};
    }
    Json stats = preview().statistics();
    stats["nativeDroppedVideoSamples"] = nativeDroppedVideoSamples;
    Json record{{"connection", connection},
                {"selection", selection.value_or(nullptr)},
                {"permissions", permissionsForStatus(allowCachedPermissions)},
                {"source", source},
                {"recording", movieRecord()},
                {"latestFrame", preview().latestImage().value_or(nullptr)},
                {"lastError", lastError.value_or(nullptr)},
                {"previewStats", stats}};
    if (videoFormat) record["videoFormat"] = *videoFormat;
    return record;
}

LatestPreview& Engine::preview() {
    assertOnQueue(controlQueue());
    if (!previewPipeline) {
        std::weak_ptr<Engine> weak = weak_from_this();
        previewPipeline = LatestPreview::create(
            files, {}, {}, {},
            [weak](const std::exception& error) {
                auto strong = weak.lock();
                if (!strong) return;
                strong->lastError = errorJSON(error);
                strong->terminate("PREVIEW_OUTPUT_FAILED");
            },
            [weak] {
                if (auto strong = weak.lock()) strong->changed();
            });
    }
    return *previewPipeline;
}

// ---------------------------------------------------------------------------------------------
// Handlers complete here

void Engine::handleStatus(const std::string& requestId, const Json&) {
    success(requestId, status(true));
}

void Engine::handleClock(const std::string& requestId, const Json&) {
    success(requestId, Json{{"clock", "system-uptime"}, {"uptimeMs", mono() * 1000.0}});
}

void Engine::handleDisconnect(const std::string& requestId, const Json&) {
    finish("disconnect", false);
    success(requestId, withAccepted(status(false)));
}

void Engine::handleClose(const std::string& requestId, const Json&) {
    close(requestId, "close");
}

// ---------------------------------------------------------------------------------------------
// Finish, close and termination

void Engine::inputEnded() { close(std::nullopt, "eof"); }

void Engine::inputFailed(const std::string& code) { terminate(code); }

void Engine::close(const std::optional<std::string>& requestId, const std::string& reason) {
    assertOnQueue(controlQueue());
    if (shutdown) {
        if (requestId) failure(*requestId, closing().json());
        return;
    }
    shutdown = true;
    permissionRequestID.reset();
    closingReply = requestId;
    finish(reason, true);
    globalAfter(closeExitSeconds, [] { exitProcess(2); });
}

void Engine::terminate(const std::string& code) {
    assertOnQueue(controlQueue());
    if (terminating) return;
    terminating = true;
    const Json record = CaptureError(code,
                                     "Owned native helper is stopping after a bounded transport/native "
                                     "failure; normal release is not yet confirmed")
                            .json();
    lastError = record;
    output->send(fatalJSON(id, record));
    close(std::nullopt, "error");
    globalAfter(terminateExitSeconds, [] { exitProcess(2); });
}

void Engine::endCloseIfNeeded(bool force) {
    assertOnQueue(controlQueue());
    if (!shutdown && !force) return;
    connection = "closed";
    changed();
    if (timer) timer->cancel();
    if (closingReply) {
        success(*closingReply, Json{{"closed", releaseConfirmed}, {"devicesReleased", releaseConfirmed}});
        closingReply.reset();
    }
    output->send(Json{{"event", "closed"},
                      {"sessionId", id},
                      {"stateSequence", sequence},
                      {"devicesReleased", releaseConfirmed}});
    output->exitAfterDraining(releaseConfirmed ? 0 : 2);
}

void Engine::armWatchdog(double seconds, const std::string& reason) {
    assertOnQueue(controlQueue());
    if (watchdog) watchdog->cancel();
    std::weak_ptr<Engine> weak = weak_from_this();
    // The forced stage must work while controlQueue is stuck, so it holds no engine.
    watchdog = std::make_shared<DeadlineWatchdog>(
        seconds, watchdogGraceSeconds,
        [weak, reason] {
            controlQueue().async([weak, reason] {
                if (auto strong = weak.lock()) strong->finish(reason, false);
            });
        },
        [channel = output, sessionId = id] {
            channel->send(fatalJSON(sessionId, CaptureError("NATIVE_DEADLINE_TIMEOUT",
                                                            "Native stop/finalization exceeded its "
                                                            "independent deadline; normal release is "
                                                            "unconfirmed")
                                                   .json()));
            globalAfter(0.1, [] { exitProcess(2); });
        });
}

void Engine::finish(const std::string& reason, bool closeHelper) {
    assertOnQueue(controlQueue());
    if (finishingOperationID || connection == "stopping" || (busy && connection == "connecting")) {
        // A finish or a connect start in progress picks the close up when it ends.
        if (closeHelper) shutdown = true;
        return;
    }
    const bool recordingReason = reason == "stop" || reason == "duration" || reason == "limit";
    if (recordingReason && !closeHelper && !shutdown && movie && !movie->completed) {
        finishRecording(reason);
    } else {
        fullStop(reason, closeHelper);
    }
}

void Engine::finishRecording(const std::string& reason) {
    busy = true;
    finishingOperationID = randomUuid();
    movie->state = "finishing";
    armWatchdog(recordingFinishSeconds, "error");
    changed();
    std::weak_ptr<Engine> weak = weak_from_this();
    finalizeWriter(movie, [weak, finished = movie, reason] {
        auto strong = weak.lock();
        if (!strong) return;
        strong->finishedMovie(finished, reason, false, false);
        // A close that arrived meanwhile was held back until the recording was reported.
        if (strong->shutdown) strong->finish("close", true);
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

void Engine::fullStop(const std::string& reason, bool closeHelper) {
    busy = true;
    connection = "stopping";
    const std::string operation = randomUuid();
    transitionID = operation;
    finishingOperationID = operation;
    changed();

    std::shared_ptr<Movie> stopped = movie && !movie->completed ? movie : nullptr;
    if (stopped) stopped->state = "finishing";
    auto join = std::make_shared<StopJoin>();
    std::weak_ptr<Engine> weak = weak_from_this();

    preview().stop([weak, join, stopped, reason, closeHelper] {
        auto strong = weak.lock();
        if (!strong) return;
        join->previewStopped = true;
        strong->finishWhenReady(join, stopped, reason, closeHelper);
    });

    nativeQueue().async([weak, join, stopped, reason, closeHelper, running = session] {
        const bool released = releaseSession(running);
        controlQueue().async([weak, join, stopped, reason, closeHelper, released] {
            auto strong = weak.lock();
            if (!strong) return;
            join->released = released;
            strong->finishWhenReady(join, stopped, reason, closeHelper);
        });
    });

    globalAfter(finishTimeoutSeconds, [weak, operation, stopped] {
        controlQueue().async([weak, operation, stopped] {
            auto strong = weak.lock();
            if (!strong) return;
            const bool unfinished =
                strong->connection == "stopping" || (stopped && stopped->state == "finishing");
            if (strong->transitionID == operation && strong->busy && unfinished) {
                strong->terminate("NATIVE_FINISH_TIMEOUT");
            }
        });
    });
}

void Engine::finishWhenReady(const std::shared_ptr<StopJoin>& join, const std::shared_ptr<Movie>& stopped,
                             const std::string& reason, bool closeHelper) {
    assertOnQueue(controlQueue());
    if (!join->previewStopped || !join->released) return;
    const bool released = *join->released;
    session.reset();
    videoOutput.reset();
    releaseConfirmed = released;
    connection = released ? "disconnected" : "failed";
    changed();
    if (!stopped) {
        // An unconfirmed release keeps the deadline armed: its forced stage still ends the helper.
        if (released && watchdog) {
            watchdog->cancel();
            watchdog.reset();
        }
        finishingOperationID.reset();
        busy = false;
        endCloseIfNeeded(closeHelper);
        return;
    }
    std::weak_ptr<Engine> weak = weak_from_this();
    finalizeWriter(stopped, [weak, stopped, reason, released, closeHelper] {
        if (auto strong = weak.lock()) strong->finishedMovie(stopped, reason, released, closeHelper);
    });
}

Json Engine::movieRecord() const {
    return movie ? movie->json() : Json(nullptr);
}

void Engine::finishedMovie(const std::shared_ptr<Movie>& finished, const std::string& reason, bool released,
                           bool closeHelper) {
    assertOnQueue(controlQueue());
    Json error = lastError.value_or(nullptr);
    Json basename = nullptr;
    Json sha256 = nullptr;
    std::int64_t bytes = 0;
    try {
        finished->writer->setMode(0600);
        const auto metadata = files->metadata(finished->basename);
        bytes = metadata.bytes;
        sha256 = metadata.sha256;
        basename = finished->basename;
    } catch (...) {
        error = currentErrorJSON();
        bytes = 0;
    }

    const bool normal = reason == "duration" || reason == "stop" || reason == "disconnect" ||
                        reason == "close" || reason == "eof" || reason == "signal";
    const bool continuing = reason == "stop" || reason == "duration" || reason == "limit";
    bool streamContinues = false;
    bool acceptable = false;
    bool cancelWatchdog = false;
    if (released) {
        acceptable = normal;
        cancelWatchdog = true;
    } else if (connection == "connected") {
        streamContinues = continuing;
        acceptable = continuing && normal;
        cancelWatchdog = streamContinues;
    }

    const auto& writer = finished->writer;
    const bool sound = writer->status() == MovieWriter::Status::completed && finished->videoSamples > 0 &&
                       bytes > 0 && acceptable;
    if (sound && !lastError) {
        finished->state = "complete";
    } else if (bytes > 0) {
        finished->state = "partial";
    } else {
        finished->state = "failed";
    }
    if (finished->state != "complete" && error.is_null()) {
        error = CaptureError("CAPTURE_PARTIAL", "Capture did not complete normally").json();
    }

    const Json record{{"captureId", finished->id},
                      {"state", finished->state},
                      {"basename", basename},
                      {"bytes", bytes},
                      {"sha256", sha256},
                      {"durationMs", finished->elapsedMs()},
                      {"requestedDurationMs", finished->durationMs},
                      {"videoSamples", finished->videoSamples},
                      {"audioSamples", finished->audioSamples},
                      {"droppedVideoSamples", finished->droppedVideo},
                      {"droppedAudioSamples", finished->droppedAudio},
                      {"reason", reason},
                      {"error", error},
                      {"devicesReleased", released},
                      {"streamContinues", streamContinues}};
    finished->completed = record;

    if (cancelWatchdog && watchdog) {
        watchdog->cancel();
        watchdog.reset();
    }
    finishingOperationID.reset();
    busy = false;
    changed();
    output->send(Json{{"event", "recording_finished"},
                      {"sessionId", id},
                      {"stateSequence", sequence},
                      {"recording", record}});
    if (!streamContinues) endCloseIfNeeded(closeHelper);
}

// ---------------------------------------------------------------------------------------------
// Connection, capture session and the tick

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

// Builds and starts the session; blocks, so it runs on nativeQueue. On failure the half-built
// session is taken apart before the error goes on.
StartedSession startSession(const std::shared_ptr<Engine>& engine, const CaptureDeviceRef& video,
                            const CaptureDeviceRef& audio) {
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
        releaseSession(session);
        throw;
    }
}

bool withinFrameBounds(const PixelBuffer& frame) {
    const int width = frame.width();
    const int height = frame.height();
    return width >= 1 && width <= largestFrameSide && height >= 1 && height <= largestFrameSide &&
           static_cast<std::int64_t>(width) * height <= largestFramePixels;
}

// The first of `devices` with this unique id, or null.
CaptureDeviceRef withId(const std::vector<CaptureDeviceRef>& devices, const Json& id) {
    for (const auto& device : devices) {
        if (device->uniqueId() == id.get_ref<const std::string&>()) return device;
    }
    return nullptr;
}

}  // namespace

void Engine::connect(const std::string& requestId, const CaptureDeviceRef& video,
                     const CaptureDeviceRef& audio) {
    assertOnQueue(controlQueue());
    const std::string generation = randomUuid();
    preview().begin(generation, previewFPS);

    busy = true;
    connection = "connecting";
    transitionID = generation;
    changed();

    lastError.reset();
    latestPixel.reset();
    latestAudioFormat.reset();
    videoFormat.reset();
    firstPTS.reset();
    lastPTS.reset();
    frameID = 0;
    audioSamples = 0;
    nativeDroppedVideoSamples = 0;
    latestArrival = 0;

    const std::string& videoName = video->localizedName();
    Json chosen = {{"videoDeviceId", video->uniqueId()},
                   {"videoLabel", videoName},
                   {"player", videoName.substr(videoName.size() - 2)}};
    if (audio) {
        chosen["audioDeviceId"] = audio->uniqueId();
        chosen["audioLabel"] = audio->localizedName();
    }
    selection = chosen;

    // A connected host may start a recording at any moment; the encoders' one-time set-up would
    // otherwise run inside that request on the control queue, long enough to drop a frame.
    dispatchGlobal([] { MovieWriter::prepareEncoders(); });

    auto self = shared_from_this();
    nativeQueue().async([self, requestId, video, audio] {
        try {
            StartedSession started = startSession(self, video, audio);
            controlQueue().async([self, requestId, started] {
                self->sessionStarted(requestId, started.session, started.videoOutput, started.videoFormat);
            });
        } catch (...) {
            const Json record = currentErrorJSON();
            controlQueue().async([self, requestId, record] { self->sessionFailed(requestId, record); });
        }
    });
    globalAfter(startTimeoutSeconds, [self, generation] {
        controlQueue().async([self, generation] {
            if (self->transitionID == generation && self->connection == "connecting") {
                self->terminate("NATIVE_START_TIMEOUT");
            }
        });
    });
}

void Engine::sessionStarted(const std::string& requestId, std::shared_ptr<CaptureSession> started,
                            std::shared_ptr<VideoDataOutput> startedOutput, const Json& format) {
    assertOnQueue(controlQueue());
    videoFormat = format;
    session = std::move(started);
    videoOutput = std::move(startedOutput);
    releaseConfirmed = false;
    busy = false;
    connection = "connected";
    connectedMono = mono();
    armWatchdog(sessionLimitSeconds, "session_limit");
    changed();
    success(requestId, status(false));
    if (shutdown) finish("close", true);
}

void Engine::sessionFailed(const std::string& requestId, const Json& error) {
    assertOnQueue(controlQueue());
    auto self = shared_from_this();
    preview().stop([self, requestId, error] {
        self->busy = false;
        self->connection = "failed";
        self->lastError = error;
        self->changed();
        self->failure(requestId, error);
        if (self->shutdown) self->output->exitAfterDraining(1);
    });
}

void Engine::didOutputVideo(const VideoSample& sample) {
    assertOnQueue(controlQueue());
    if (connection != "connected") return;
    const double seconds = sample.presentationTime;
    if (!std::isfinite(seconds) || seconds < 0 || !sample.image) return;
    if (!withinFrameBounds(*sample.image)) {
        lastError = CaptureError("FRAME_BOUND", "Native frame exceeds dimension bounds").json();
        finish("error", false);
        return;
    }
    latestPixel = sample.image;
    frameID += 1;
    if (!firstPTS) firstPTS = seconds;
    lastPTS = seconds;
    latestArrival = mono();
    if (movie && movie->state == "recording") {
        if (auto failed = movie->recordVideo(latestPixel, seconds)) {
            lastError = failed->json();
            finish("error", false);
            return;
        }
    }
    preview().offer(latestPixel, frameID, seconds, latestArrival);
}

void Engine::didOutputAudio(const AudioSample& sample) {
    assertOnQueue(controlQueue());
    if (connection != "connected") return;
    const double seconds = sample.presentationTime;
    if (!std::isfinite(seconds) || seconds < 0) return;
    audioSamples += 1;
    latestAudioFormat = sample.format;
    if (movie && movie->state == "recording") {
        if (auto failed = movie->recordAudio(sample)) {
            lastError = failed->json();
            finish("error", false);
        }
    }
}

void Engine::didDropAudio(int count) {
    assertOnQueue(controlQueue());
    // Audio lost while the queue was held up is a gap in the recording like any refused buffer.
    if (movie && movie->state == "recording" && movie->firstPTS) movie->droppedAudio += count;
}

void Engine::didDropVideo() {
    assertOnQueue(controlQueue());
    nativeDroppedVideoSamples += 1;
    if (movie && movie->state == "recording") movie->droppedVideo += 1;
}

void Engine::tick() {
    assertOnQueue(controlQueue());
    if (movie && movie->state == "recording") {
        if (movie->deadline <= mono()) {
            finish("duration", false);
            return;
        }
        // Through the writer's descriptor: the file being written, whatever its name now points at.
        if (movie->writer->fileSize() >= maxRecordBytes - recordingHeadroomBytes) {
            finish("limit", false);
            return;
        }
    }
    if (connection == "connected") {
        const double now = mono();
        const bool neverStarted = latestArrival <= 0 && now - connectedMono > firstFrameSeconds;
        const bool stopped = latestArrival > 0 && now - latestArrival > frameGapSeconds;
        if (neverStarted || stopped) {
            lastError =
                CaptureError("DEVICE_STALLED", "The selected native video stopped producing frames").json();
            finish("error", false);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Connect, frame and recording requests

void Engine::handleConnect(const std::string& requestId, const Json& request) {
    if (connection != "disconnected" && connection != "failed") {
        throw CaptureError("ALREADY_CONNECTED", "Disconnect before selecting a device");
    }
    const CaptureError stale("STALE_INVENTORY", "List devices and use that exact inventoryId and selection");
    const Json* inventory = field(request, "inventoryId");
    if (!inventory || !inventory->is_string() || !inventoryID || *inventory != *inventoryID) throw stale;
    const Json* chosen = field(request, "selection");
    if (!chosen || !chosen->is_object()) throw stale;
    exactKeys(*chosen, {"videoDeviceId", "audioDeviceId"});

    const Json* videoId = field(*chosen, "videoDeviceId");
    if (!videoId || !videoId->is_string() || !withId(inventoryVideo, *videoId)) throw stale;
    const CaptureDeviceRef video = withId(deviceList(*devices, MediaType::video), *videoId);
    if (!video) throw CaptureError("DEVICE_NOT_FOUND", "The selected Quorvelle video is no longer present");

    CaptureDeviceRef audio;
    if (const Json* audioId = field(*chosen, "audioDeviceId")) {
        const CaptureError mismatch("DEVICE_MISMATCH",
                                    "Audio must be the explicitly selected matching Quorvelle player");
        if (!audioId->is_string() || !withId(inventoryAudio, *audioId)) throw mismatch;
        audio = withId(deviceList(*devices, MediaType::audio), *audioId);
        if (!audio) throw mismatch;
        const auto audioPlayer = player(audio->localizedName(), true);
        const auto videoPlayer = player(video->localizedName(), false);
        if (!audioPlayer || !videoPlayer || *audioPlayer != *videoPlayer) throw mismatch;
    }
    if (authorization(*devices, MediaType::video) != "authorized" ||
        (audio && authorization(*devices, MediaType::audio) != "authorized")) {
        throw CaptureError("PERMISSION_REQUIRED",
                           "Request normal native camera/microphone permission before connecting");
    }
    previewFPS = static_cast<int>(integer(field(request, "previewFps"), 1, 60, 60));
    connect(requestId, video, audio);
}

void Engine::handleLiveFrame(const std::string& requestId, const Json&) {
    if (connection != "connected" || latestArrival <= 0 || mono() - latestArrival > liveFrameFreshSeconds) {
        throw CaptureError("NO_VIDEO_FRAME", "No fresh connected native preview frame is available");
    }
    success(requestId, preview().acquire());
}

void Engine::handleReleaseFrame(const std::string& requestId, const Json& request) {
    const Json* leaseId = field(request, "leaseId");
    if (!leaseId || !leaseId->is_string() || !isCanonicalUuid(leaseId->get_ref<const std::string&>())) {
        throw CaptureError("INVALID_ARGUMENT", "A native frame lease ID is required");
    }
    preview().release(leaseId->get<std::string>());
    changed();
    success(requestId, Json{{"leaseId", *leaseId}, {"released", true}});
}

void Engine::handleScreenshot(const std::string& requestId, const Json&) {
    if (connection != "connected" || screenshots >= maxScreenshots || !latestPixel) {
        throw CaptureError("SCREENSHOT_UNAVAILABLE",
                           "A connected frame and remaining screenshot quota are required");
    }
    const PixelBufferRef frame = latestPixel;
    const std::string png = screenshotPNG(*frame);
    const std::string basename = screenshotBasename();
    screenshots += 1;
    files->write(png, basename, maxSnapshotBytes);
    changed();
    success(requestId,
            imageMetadata(png, basename, "png", frame->width(), frame->height(), frameID, lastPTS));
}

void Engine::handleStartRecording(const std::string& requestId, const Json& request) {
    if (connection != "connected" || !latestPixel || (movie && !movie->completed)) {
        throw CaptureError("RECORDING_UNAVAILABLE",
                           "A connected native frame and no active recording are required");
    }
    const CaptureError limit("CAPTURE_LIMIT", "A UUID captureId and remaining recording quota are required");
    if (movies >= maxRecordings) throw limit;
    const Json* captureId = field(request, "captureId");
    if (!captureId || !captureId->is_string() || !isCanonicalUuid(captureId->get_ref<const std::string&>())) {
        throw limit;
    }
    const std::int64_t durationMs =
        integer(field(request, "durationMs"), 1000, maxDurationMs, fallbackDurationMs);
    const bool withAudio = selection && selection->contains("audioDeviceId");
    if (withAudio && !latestAudioFormat) {
        throw CaptureError("NO_AUDIO_SAMPLE",
                           "The explicitly selected audio has not produced a native sample");
    }
    movies += 1;
    movie = std::make_shared<Movie>(captureId->get<std::string>(), durationMs, *files, latestPixel,
                                    withAudio ? latestAudioFormat : std::nullopt);
    armWatchdog(static_cast<double>(durationMs) / 1000.0, "duration");
    changed();
    success(requestId, withAccepted(status(false)));
}

void Engine::handleStopRecording(const std::string& requestId, const Json&) {
    if (!movie || movie->completed) throw CaptureError("NOT_RECORDING", "There is no active recording");
    finish("stop", false);
    success(requestId, withAccepted(status(false)));
}

// ---------------------------------------------------------------------------------------------
// Device inventory and permissions

Json Engine::permissions() {
    assertOnQueue(controlQueue());
    return permissionSnapshot.fresh();
}

Json Engine::permissionsForStatus(bool passive) {
    assertOnQueue(controlQueue());
    return permissionSnapshot.forStatus(connection, passive);
}

void Engine::handleList(const std::string& requestId, const Json&) {
    Inventory inventory = takeInventory(*devices);
    inventoryVideo = std::move(inventory.video);
    inventoryAudio = std::move(inventory.audio);
    inventoryID = randomUuid();
    changed();
    Json payload = std::move(inventory.listing);
    payload["inventoryId"] = *inventoryID;
    payload["permissions"] = permissions();
    success(requestId, payload);
}

void Engine::handlePermissionStatus(const std::string& requestId, const Json&) {
    success(requestId, status(false));
}

void Engine::handleRequestPermission(const std::string& requestId, const Json& request) {
    const auto media = requestedMedia(request);
    if (!media) throw CaptureError("INVALID_ARGUMENT", "media must be video or audio");
    if (authorization(*devices, *media) != "not_determined") {
        success(requestId, status(false));
        return;
    }
    busy = true;
    if (connection != "disconnected" && connection != "failed") {
        busy = false;
        throw CaptureError("ALREADY_CONNECTED", "Disconnect before requesting a new media permission");
    }
    const std::string token = randomUuid();
    permissionRequestID = token;
    std::weak_ptr<Engine> weak = weak_from_this();
    // Both the timeout and the answer decide on controlQueue, against the token: whichever comes
    // first clears it, and a close clears it for both.
    globalAfter(permissionTimeoutSeconds, [weak, token] {
        controlQueue().async([weak, token] {
            auto strong = weak.lock();
            if (strong && strong->permissionRequestID == token) strong->terminate("PERMISSION_TIMEOUT");
        });
    });
    devices->requestAccess(*media, [weak, token, requestId](bool) {
        controlQueue().async([weak, token, requestId] {
            auto strong = weak.lock();
            if (!strong || strong->permissionRequestID != token || strong->shutdown) return;
            strong->permissionRequestID.reset();
            strong->busy = false;
            strong->changed();
            strong->success(requestId, strong->status(false));
        });
    });
}

}  // namespace qv
