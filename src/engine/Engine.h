#pragma once

#include "engine/PassivePermissionSnapshot.h"
#include "device/AudioDataOutput.h"
#include "media/AudioSample.h"
#include "device/CaptureDevice.h"
#include "device/DeviceSystem.h"
#include "media/PixelBuffer.h"
#include "device/VideoDataOutput.h"
#include "base/Json.h"
#include "protocol/RequestSink.h"

#include <asio/signal_set.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qv {

class CaptureSession;
class DeadlineWatchdog;
class LatestPreview;
class Movie;
class Output;
class OwnedFiles;
class Timer;

// The one owner of the helper's state: it answers every request and drives connect, recording,
// finish and close. Every field is read and written on controlQueue only; callbacks from other
// threads hold the engine weakly and hop to controlQueue first. Fields are plain so that the
// lifecycle self-test and the handlers can see the state as it is.
class Engine : public std::enable_shared_from_this<Engine>,
               public VideoDataOutputDelegate,
               public AudioDataOutputDelegate,
               public RequestSink {
public:
    // Limits reported in "ready" and enforced by the handlers.
    static constexpr std::int64_t maxDurationMs = 600'000;
    static constexpr int maxRecordings = 2;
    static constexpr int maxScreenshots = 32;

    // Creates the private directory and hooks the output failure handler. Throws what the
    // private directory throws.
    static std::shared_ptr<Engine> create(std::shared_ptr<Output> output, std::shared_ptr<DeviceSystem> devices);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Sends "ready", starts the tick and the signal sources. Once, on controlQueue.
    void ready();
    // Handles one parsed request; never throws.
    void request(const Json& request) override;
    void inputEnded() override;
    void inputFailed(const std::string& code) override;
    const std::string& sessionId() const override { return id; }

    Json common() const;
    void success(const std::string& requestId, const Json& payload = Json::object());
    void failure(const std::string& requestId, const Json& errorRecord);
    Json status(bool allowCachedPermissions);
    // Both permissions, read fresh.
    Json permissions();
    void changed();
    // The preview pipeline, made on first use.
    LatestPreview& preview();

    // Finish, close and termination.
    void finish(const std::string& reason, bool closeHelper);
    void finishedMovie(const std::shared_ptr<Movie>& movie, const std::string& reason, bool released,
                       bool closeHelper);
    void endCloseIfNeeded(bool force);
    void close(const std::optional<std::string>& requestId, const std::string& reason);
    void terminate(const std::string& code);
    void armWatchdog(double seconds, const std::string& reason);

    // Starts a capture session for the chosen devices; the reply to `requestId` follows when it
    // runs or fails. Throws only when the preview refuses to begin, and then nothing changed.
    void connect(const std::string& requestId, const CaptureDeviceRef& video, const CaptureDeviceRef& audio);
    // Capture callbacks, on controlQueue.
    void didOutputVideo(const VideoSample& sample) override;
    void didDropVideo() override;
    void didOutputAudio(const AudioSample& sample) override;
    void didDropAudio(int count) override;

    // --- State (controlQueue only) ---
    const std::string id;
    const std::shared_ptr<Output> output;
    const std::shared_ptr<DeviceSystem> devices;
    std::shared_ptr<OwnedFiles> files;
    // Screenshots are encoded by a stateless PNG encoder, so there is no image context to keep.
    std::shared_ptr<LatestPreview> previewPipeline;
    std::int64_t sequence = 0;
    std::string connection = "disconnected";
    std::optional<std::string> inventoryID;
    std::vector<CaptureDeviceRef> inventoryVideo;
    std::vector<CaptureDeviceRef> inventoryAudio;
    std::optional<Json> selection;
    std::shared_ptr<CaptureSession> session;
    std::shared_ptr<VideoDataOutput> videoOutput;
    PixelBufferRef latestPixel;
    std::optional<AudioFormat> latestAudioFormat;
    std::optional<double> firstPTS;
    std::optional<double> lastPTS;
    std::int64_t frameID = 0;
    std::int64_t audioSamples = 0;
    int previewFPS = 60;
    std::optional<Json> videoFormat;
    std::int64_t nativeDroppedVideoSamples = 0;
    double latestArrival = 0;
    double connectedMono = 0;
    int screenshots = 0;
    int movies = 0;
    std::shared_ptr<Movie> movie;
    std::optional<Json> lastError;
    std::unique_ptr<Timer> timer;
    bool shutdown = false;
    bool releaseConfirmed = true;
    bool busy = false;
    std::optional<std::string> closingReply;
    std::string transitionID;
    std::optional<std::string> permissionRequestID;
    std::optional<std::string> finishingOperationID;
    bool terminating = false;
    std::shared_ptr<DeadlineWatchdog> watchdog;
    std::vector<std::unique_ptr<asio::signal_set>> signalSources;
    PassivePermissionSnapshot permissionSnapshot;

private:
    Engine(std::shared_ptr<Output> output, std::shared_ptr<DeviceSystem> devices);

    struct Action;
    static const Action* action(const std::string& name);
    void dispatch(const std::string& requestId, const Json& request);
    void watchSignal(asio::signal_set& source);
    void tick();
    void sessionStarted(const std::string& requestId, std::shared_ptr<CaptureSession> started,
                        std::shared_ptr<VideoDataOutput> startedOutput, const Json& format);
    void sessionFailed(const std::string& requestId, const Json& error);
    Json movieRecord() const;

    // The two completions of a full stop; both are written and read on controlQueue only.
    struct StopJoin {
        bool previewStopped = false;
        std::optional<bool> released;
    };
    void finishRecording(const std::string& reason);
    void fullStop(const std::string& reason, bool closeHelper);
    // Marks the recording's inputs finished and finishes (or, with nothing to keep, cancels) its
    // writer; `then` runs on controlQueue afterwards.
    static void finalizeWriter(const std::shared_ptr<Movie>& finished, std::function<void()> then);
    void finishWhenReady(const std::shared_ptr<StopJoin>& join, const std::shared_ptr<Movie>& stopped,
                         const std::string& reason, bool closeHelper);

    // Handlers complete here.
    void handleStatus(const std::string& requestId, const Json& request);
    void handleClock(const std::string& requestId, const Json& request);
    void handleDisconnect(const std::string& requestId, const Json& request);
    void handleClose(const std::string& requestId, const Json& request);

    // Handlers of the device, frame and recording work, filled in by those issues.
    void handleList(const std::string& requestId, const Json& request);
    void handlePermissionStatus(const std::string& requestId, const Json& request);
    void handleRequestPermission(const std::string& requestId, const Json& request);
    void handleConnect(const std::string& requestId, const Json& request);
    void handleLiveFrame(const std::string& requestId, const Json& request);
    void handleReleaseFrame(const std::string& requestId, const Json& request);
    void handleScreenshot(const std::string& requestId, const Json& request);
    void handleStartRecording(const std::string& requestId, const Json& request);
    void handleStopRecording(const std::string& requestId, const Json& request);
    Json permissionsForStatus(bool passive);
};

}  // namespace qv
