// The request handlers: each checks its preconditions, changes the state and replies, or starts
// the work whose completion replies.
#include "engine/Engine.h"

#include "base/CaptureError.h"
#include "base/Clock.h"
#include "base/Runtime.h"
#include "base/Timer.h"
#include "base/Uuid.h"
#include "engine/DeviceInventory.h"
#include "engine/PlayerName.h"
#include "engine/Screenshot.h"
#include "files/OwnedFiles.h"
#include "preview/LatestPreview.h"
#include "protocol/Validation.h"
#include "recording/DeadlineWatchdog.h"
#include "recording/Movie.h"

namespace qv {

namespace {

Json withAccepted(Json status) {
    status["accepted"] = true;
    return status;
}

// The first of `devices` with this unique id, or null.
CaptureDeviceRef withId(const std::vector<CaptureDeviceRef>& devices, const Json& id) {
    for (const auto& device : devices) {
        if (device->uniqueId() == id.get_ref<const std::string&>()) return device;
    }
    return nullptr;
}

bool connectable(Connection connection) {
    return connection == Connection::disconnected || connection == Connection::failed;
}

}  // namespace

void Engine::handleList(const std::string& requestId, const Json&) {
    Inventory inventory = takeInventory(*devices_);
    inventory_.video = std::move(inventory.video);
    inventory_.audio = std::move(inventory.audio);
    inventory_.id = randomUuid();
    changed();
    Json payload = std::move(inventory.listing);
    payload["inventoryId"] = *inventory_.id;
    payload["permissions"] = permissions();
    success(requestId, payload);
}

void Engine::handlePermissionStatus(const std::string& requestId, const Json&) {
    success(requestId, status(false));
}

void Engine::handleRequestPermission(const std::string& requestId, const Json& request) {
    const auto media = requestedMedia(request);
    if (!media) throw CaptureError("INVALID_ARGUMENT", "media must be video or audio");
    if (authorization(*devices_, *media) != "not_determined") {
        success(requestId, status(false));
        return;
    }
    if (!connectable(connection_)) {
        throw CaptureError("ALREADY_CONNECTED", "Disconnect before requesting a new media permission");
    }
    std::weak_ptr<Engine> weak = weak_from_this();
    // Asked first: the answer comes through controlQueue, so not before this handler has set the
    // state it finds. Whichever of the answer and the timeout comes first ends the request; a
    // close ends it for both. Only one request can be outstanding, and once one has gone
    // unanswered the helper is closing, so a late answer cannot meet a later request.
    devices_->requestAccess(*media, [weak, requestId](bool) {
        controlQueue().async([weak, requestId] {
            auto strong = weak.lock();
            if (!strong || strong->lifecycle_.transition != Transition::requestingPermission) return;
            strong->permissionTimeout_->cancel();
            strong->lifecycle_.transition = Transition::none;
            strong->changed();
            strong->success(requestId, strong->status(false));
        });
    });
    lifecycle_.transition = Transition::requestingPermission;
    permissionTimeout_->start(limits_.permissionSeconds, 0, [weak] {
        if (auto strong = weak.lock()) strong->terminate("PERMISSION_TIMEOUT");
    });
}

void Engine::handleConnect(const std::string& requestId, const Json& request) {
    if (!connectable(connection_)) {
        throw CaptureError("ALREADY_CONNECTED", "Disconnect before selecting a device");
    }
    const CaptureError stale("STALE_INVENTORY", "List devices and use that exact inventoryId and selection");
    const Json* inventory = field(request, "inventoryId");
    if (!inventory || !inventory->is_string() || !inventory_.id || *inventory != *inventory_.id) throw stale;
    const Json* chosen = field(request, "selection");
    if (!chosen || !chosen->is_object()) throw stale;
    exactKeys(*chosen, {"videoDeviceId", "audioDeviceId"});

    const Json* videoId = field(*chosen, "videoDeviceId");
    if (!videoId || !videoId->is_string() || !withId(inventory_.video, *videoId)) throw stale;
    const CaptureDeviceRef video = withId(deviceList(*devices_, MediaType::video), *videoId);
    if (!video) throw CaptureError("DEVICE_NOT_FOUND", "The selected Quorvelle video is no longer present");

    CaptureDeviceRef audio;
    if (const Json* audioId = field(*chosen, "audioDeviceId")) {
        const CaptureError mismatch("DEVICE_MISMATCH",
                                    "Audio must be the explicitly selected matching Quorvelle player");
        if (!audioId->is_string() || !withId(inventory_.audio, *audioId)) throw mismatch;
        audio = withId(deviceList(*devices_, MediaType::audio), *audioId);
        if (!audio) throw mismatch;
        const auto audioPlayer = player(audio->localizedName(), true);
        const auto videoPlayer = player(video->localizedName(), false);
        if (!audioPlayer || !videoPlayer || *audioPlayer != *videoPlayer) throw mismatch;
    }
    if (authorization(*devices_, MediaType::video) != "authorized" ||
        (audio && authorization(*devices_, MediaType::audio) != "authorized")) {
        throw CaptureError("PERMISSION_REQUIRED",
                           "Request normal native camera/microphone permission before connecting");
    }
    previewFPS_ = static_cast<int>(integer(field(request, "previewFps"), 1, 60, 60));
    connect(requestId, video, audio);
}

void Engine::handleStatus(const std::string& requestId, const Json&) {
    success(requestId, status(true));
}

void Engine::handleClock(const std::string& requestId, const Json&) {
    success(requestId, Json{{"clock", "system-uptime"}, {"uptimeMs", mono() * 1000.0}});
}

void Engine::handleLiveFrame(const std::string& requestId, const Json&) {
    if (connection_ != Connection::connected || source_.latestArrival <= 0 ||
        clock_() - source_.latestArrival > limits_.liveFrameFreshSeconds) {
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
    if (connection_ != Connection::connected || screenshots_ >= limits_.maxScreenshots ||
        !source_.latestPixel) {
        throw CaptureError("SCREENSHOT_UNAVAILABLE",
                           "A connected frame and remaining screenshot quota are required");
    }
    const PixelBufferRef frame = source_.latestPixel;
    const std::string png = screenshotPNG(*frame, limits_.maxSnapshotBytes);
    const std::string basename = screenshotBasename();
    screenshots_ += 1;
    files_->write(png, basename, limits_.maxSnapshotBytes);
    changed();
    success(requestId, imageMetadata(png, basename, "png", frame->width(), frame->height(), source_.frameID,
                                     source_.lastPTS));
}

void Engine::handleStartRecording(const std::string& requestId, const Json& request) {
    if (connection_ != Connection::connected || !source_.latestPixel || (movie_ && !movie_->completed)) {
        throw CaptureError("RECORDING_UNAVAILABLE",
                           "A connected native frame and no active recording are required");
    }
    const CaptureError limit("CAPTURE_LIMIT", "A UUID captureId and remaining recording quota are required");
    if (movies_ >= limits_.maxRecordings) throw limit;
    const Json* captureId = field(request, "captureId");
    if (!captureId || !captureId->is_string() || !isCanonicalUuid(captureId->get_ref<const std::string&>())) {
        throw limit;
    }
    const std::int64_t durationMs =
        integer(field(request, "durationMs"), 1000, limits_.maxDurationMs, limits_.defaultDurationMs);
    const bool withAudio = selection_ && selection_->contains("audioDeviceId");
    if (withAudio && !source_.latestAudioFormat) {
        throw CaptureError("NO_AUDIO_SAMPLE",
                           "The explicitly selected audio has not produced a native sample");
    }
    movies_ += 1;
    movie_ = std::make_shared<Movie>(captureId->get<std::string>(), durationMs, *files_, source_.latestPixel,
                                     withAudio ? source_.latestAudioFormat : std::nullopt);
    // Made before anything changed but the quota, which counts attempts; arming acquires nothing.
    armWatchdog(static_cast<double>(durationMs) / 1000.0, FinishReason::duration);
    changed();
    success(requestId, withAccepted(status(false)));
}

void Engine::handleStopRecording(const std::string& requestId, const Json&) {
    if (!movie_ || movie_->completed) throw CaptureError("NOT_RECORDING", "There is no active recording");
    finish(FinishReason::stop, false);
    success(requestId, withAccepted(status(false)));
}

void Engine::handleDisconnect(const std::string& requestId, const Json&) {
    finish(FinishReason::disconnect, false);
    success(requestId, withAccepted(status(false)));
}

void Engine::handleClose(const std::string& requestId, const Json&) {
    close(requestId, FinishReason::close);
}

}  // namespace qv
