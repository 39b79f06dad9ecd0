#include "engine/Engine.h"

#include "base/CaptureError.h"
#include "base/Clock.h"
#include "base/ManualTime.h"
#include "base/Runtime.h"
#include "base/Timer.h"
#include "base/Uuid.h"
#include "engine/DeviceInventory.h"
#include "files/OwnedFiles.h"
#include "preview/LatestPreview.h"
#include "protocol/Output.h"
#include "protocol/Validation.h"
#include "recording/DeadlineWatchdog.h"
#include "recording/Movie.h"

#include <asio/signal_set.hpp>

#include <csignal>
#include <span>
#include <string_view>

namespace qv {

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

CaptureError Engine::closing() {
    return CaptureError("CLOSING", "Helper is closing");
}

std::shared_ptr<Engine> Engine::create(std::shared_ptr<Output> output, std::shared_ptr<DeviceSystem> devices,
                                       const Limits& limits, FileIo fileIo, ManualTime* time) {
    std::shared_ptr<Engine> engine(
        new Engine(std::move(output), std::move(devices), limits, std::move(fileIo), time));
    std::weak_ptr<Engine> weak = engine;
    engine->previewPipeline_ = LatestPreview::create(
        engine->files_, {}, {}, {},
        [weak](const std::exception& error) {
            auto strong = weak.lock();
            if (!strong) return;
            strong->lastError_ = errorJSON(error);
            strong->terminate("PREVIEW_OUTPUT_FAILED");
        },
        [weak] {
            if (auto strong = weak.lock()) strong->changed();
        },
        limits);
    // In place before "ready": a host that signals as soon as it has read it must find them, not
    // the default action that would kill the helper.
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        engine->signalSources_.push_back(std::make_unique<SignalSource>(controlQueue().context(), number));
    }
    engine->output_->setOnFailure([weak, exitSeconds = limits.closeExitSeconds] {
        controlQueue().async([weak] {
            if (auto strong = weak.lock()) strong->terminate("OUTPUT_BACKPRESSURE");
        });
        globalAfter(exitSeconds, [] { exitProcess(2); });
    });
    return engine;
}

// Kept out of the header, with the rest of asio.
struct Engine::SignalSource : asio::signal_set {
    using asio::signal_set::signal_set;
};

Engine::Engine(std::shared_ptr<Output> channel, std::shared_ptr<DeviceSystem> deviceSystem,
               const Limits& limits, FileIo fileIo, ManualTime* time)
    : id_(randomUuid()),
      limits_(limits),
      clock_(time ? std::function<double()>([time] { return time->now(); }) : std::function<double()>(mono)),
      output_(std::move(channel)),
      devices_(std::move(deviceSystem)),
      permissionSnapshot_(clock_, [this] { return readPermissions(*devices_); }) {
    files_ = std::make_shared<OwnedFiles>(std::move(fileIo));
    tickTimer_ = std::make_unique<Timer>(controlQueue(), time);
    startTimeout_ = std::make_unique<Timer>(controlQueue(), time);
    finishTimeout_ = std::make_unique<Timer>(controlQueue(), time);
    permissionTimeout_ = std::make_unique<Timer>(controlQueue(), time);
    watchdog_ = std::make_unique<DeadlineWatchdog>(time);
}

Engine::~Engine() = default;

void Engine::ready() {
    assertOnQueue(controlQueue());
    for (const auto& source : signalSources_) watchSignal(*source);
    std::weak_ptr<Engine> weak = weak_from_this();
    tickTimer_->start(limits_.tickSeconds, limits_.tickSeconds, [weak] {
        if (auto strong = weak.lock()) strong->tick();
    });

    output_->send(Json{{"event", "ready"},
                       {"protocolVersion", 1},
                       {"sessionId", id_},
                       {"stateSequence", sequence_},
                       {"sessionDir", files_->url()},
                       {"platform", "linux"},
                       {"limits",
                        {{"maxDurationMs", static_cast<std::uint64_t>(limits_.maxDurationMs)},
                         {"maxRecordingBytes", static_cast<std::uint64_t>(limits_.maxRecordBytes)},
                         {"maxRecordings", static_cast<std::uint64_t>(limits_.maxRecordings)},
                         {"maxScreenshots", static_cast<std::uint64_t>(limits_.maxScreenshots)},
                         {"maxScreenshotBytes", static_cast<std::uint64_t>(limits_.maxSnapshotBytes)},
                         {"maxPreviewBytes", static_cast<std::uint64_t>(limits_.maxPreviewBytes)}}}});
}

void Engine::watchSignal(SignalSource& source) {
    std::weak_ptr<Engine> weak = weak_from_this();
    source.async_wait([weak, &source](const std::error_code& error, int) {
        if (error) return;
        auto strong = weak.lock();
        if (!strong) return;
        strong->close(std::nullopt, FinishReason::signal);
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
    if (lifecycle_.shutdown) throw closing();
    const Action* entry = action(name->get_ref<const std::string&>());
    if (lifecycle_.busy() && !(entry && entry->whileBusy)) {
        throw CaptureError("BUSY", "A native state transition is still in progress");
    }
    if (!entry) throw CaptureError("UNKNOWN_ACTION", "Unknown native capture action");
    exactKeys(request, entry->keys);
    (this->*entry->handler)(requestId, request);
}

Json Engine::common() const {
    return Json{{"sessionId", id_}, {"stateSequence", sequence_}};
}

void Engine::success(const std::string& requestId, const Json& payload) {
    assertOnQueue(controlQueue());
    Json result = common();
    for (const auto& [key, value] : payload.items()) result[key] = value;
    output_->send(Json{{"requestId", requestId}, {"ok", true}, {"result", std::move(result)}});
}

void Engine::failure(const std::string& requestId, const Json& errorRecord) {
    assertOnQueue(controlQueue());
    Json reply = common();
    reply["requestId"] = requestId;
    reply["ok"] = false;
    reply["error"] = errorRecord;
    output_->send(reply);
}

void Engine::changed() {
    assertOnQueue(controlQueue());
    sequence_ += 1;
}

Json Engine::status(bool allowCachedPermissions) {
    assertOnQueue(controlQueue());
    Json source = nullptr;
    if (source_.latestPixel) {
        source = Json{{"width", source_.latestPixel->width()},
                      {"height", source_.latestPixel->height()},
                      {"firstPTS", source_.firstPTS.value_or(0.0)},
                      {"lastPTS", source_.lastPTS.value_or(0.0)},
                      {"videoSamples", source_.frameID},
                      {"audioSamples", source_.audioSamples}};
    }
    Json stats = preview().statistics();
    stats["nativeDroppedVideoSamples"] = source_.nativeDroppedVideoSamples;
    Json record{{"connection", protocolName(connection_)},
                {"selection", selection_.value_or(nullptr)},
                {"permissions", permissionsForStatus(allowCachedPermissions)},
                {"source", source},
                {"recording", movieRecord()},
                {"latestFrame", preview().latestImage().value_or(nullptr)},
                {"lastError", lastError_.value_or(nullptr)},
                {"previewStats", stats}};
    if (source_.videoFormat) record["videoFormat"] = *source_.videoFormat;
    return record;
}

Json Engine::movieRecord() const {
    return movie_ ? movie_->json() : Json(nullptr);
}

Json Engine::permissions() {
    assertOnQueue(controlQueue());
    return permissionSnapshot_.fresh();
}

Json Engine::permissionsForStatus(bool passive) {
    assertOnQueue(controlQueue());
    return permissionSnapshot_.forStatus(connection_ == Connection::connected, passive);
}

LatestPreview& Engine::preview() {
    assertOnQueue(controlQueue());
    return *previewPipeline_;
}

}  // namespace qv
