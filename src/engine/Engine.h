#pragma once

#include "base/Json.h"
#include "base/Limits.h"
#include "device/AudioDataOutput.h"
#include "device/CaptureDevice.h"
#include "device/DeviceSystem.h"
#include "device/VideoDataOutput.h"
#include "engine/EngineState.h"
#include "engine/PassivePermissionSnapshot.h"
#include "files/FileIo.h"
#include "protocol/RequestSink.h"
#include "recording/RecordingOutcome.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qv {

class CaptureError;
class CaptureSession;
class DeadlineWatchdog;
class LatestPreview;
class ManualTime;
class Movie;
class Output;
class OwnedFiles;
class Timer;

// The one owner of the helper's state: it answers every request and drives connect, recording,
// finish and close. Every field is read and written on controlQueue only; callbacks from other
// threads hold the engine weakly and hop to controlQueue first.
//
// The class is split over several files: Engine.cpp (dispatch, replies, status), EngineActions.cpp
// (the request handlers), EngineCapture.cpp (connection and samples), EngineFinish.cpp (finish,
// close and termination).
class Engine : public std::enable_shared_from_this<Engine>,
               public VideoDataOutputDelegate,
               public AudioDataOutputDelegate,
               public RequestSink {
public:
    // Creates the private directory and hooks the output failure handler. Throws what the
    // private directory throws. `fileIo` writes the images; tests pass one that fails. `time`,
    // when given, replaces the real clock for the engine's own timers, its watchdog, frame
    // freshness, stalls and the permission cache, so tests move it on instead of waiting those
    // bounds out. Media times and the "clock" reply stay on mono().
    // Everything a transition needs later (timers, the watchdog and its queue, the preview
    // pipeline, the signal sources) is made here, so that no transition can fail halfway for want
    // of a thread, a timer or a descriptor.
    static std::shared_ptr<Engine> create(std::shared_ptr<Output> output,
                                          std::shared_ptr<DeviceSystem> devices,
                                          const Limits& limits = protocolLimits, FileIo fileIo = {},
                                          ManualTime* time = nullptr);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Sends "ready", starts the tick and watches the signals. Once, on controlQueue.
    void ready();
    // Handles one parsed request; never throws.
    void request(const Json& request) override;
    void inputEnded() override;
    void inputFailed(const std::string& code) override;
    const std::string& sessionId() const override { return id_; }

    // Capture callbacks, on controlQueue.
    void didOutputVideo(const VideoSample& sample) override;
    void didDropVideo() override;
    void didOutputAudio(const AudioSample& sample) override;
    void didDropAudio(int count) override;

    // Read-only views for the self-tests and tests, on controlQueue.
    Connection connection() const { return connection_; }
    const Lifecycle& lifecycle() const { return lifecycle_; }

    // The lifecycle self-test's stand-in for a recording finish in progress, which a close must
    // not re-enter; ending it closes the helper as the finish would have.
    void beginSimulatedFinish();
    void endSimulatedFinish();

private:
    Engine(std::shared_ptr<Output> output, std::shared_ptr<DeviceSystem> devices, const Limits& limits,
           FileIo fileIo, ManualTime* time);

    // --- Engine.cpp: dispatch, replies and status ---
    struct Action;
    static const Action* action(const std::string& name);
    static CaptureError closing();
    void dispatch(const std::string& requestId, const Json& request);
    struct SignalSource;
    void watchSignal(SignalSource& source);
    Json common() const;
    void success(const std::string& requestId, const Json& payload = Json::object());
    void failure(const std::string& requestId, const Json& errorRecord);
    Json status(bool allowCachedPermissions);
    // Both permissions, read fresh.
    Json permissions();
    Json permissionsForStatus(bool passive);
    void changed();
    LatestPreview& preview();
    Json movieRecord() const;

    // --- EngineActions.cpp: the request handlers ---
    void handleList(const std::string& requestId, const Json& request);
    void handlePermissionStatus(const std::string& requestId, const Json& request);
    void handleRequestPermission(const std::string& requestId, const Json& request);
    void handleConnect(const std::string& requestId, const Json& request);
    void handleStatus(const std::string& requestId, const Json& request);
    void handleClock(const std::string& requestId, const Json& request);
    void handleLiveFrame(const std::string& requestId, const Json& request);
    void handleReleaseFrame(const std::string& requestId, const Json& request);
    void handleScreenshot(const std::string& requestId, const Json& request);
    void handleStartRecording(const std::string& requestId, const Json& request);
    void handleStopRecording(const std::string& requestId, const Json& request);
    void handleDisconnect(const std::string& requestId, const Json& request);
    void handleClose(const std::string& requestId, const Json& request);

    // --- EngineCapture.cpp: connection, samples and the tick ---
    // Starts a capture session for the chosen devices; the reply to `requestId` follows when it
    // runs or fails. Throws only when the preview refuses to begin, and then nothing changed.
    void connect(const std::string& requestId, const CaptureDeviceRef& video, const CaptureDeviceRef& audio);
    void sessionStarted(const std::string& requestId, std::shared_ptr<CaptureSession> started,
                        std::shared_ptr<VideoDataOutput> startedOutput, const Json& format);
    void sessionFailed(const std::string& requestId, const Json& error);
    // Stops the session and takes it apart, on nativeQueue. True when the devices are known to be
    // released: nothing runs and nothing is attached any more.
    static bool releaseSession(const std::shared_ptr<CaptureSession>& session);
    void tick();

    // --- EngineFinish.cpp: finish, close and termination ---
    // The two completions of a full stop; both are written and read on controlQueue only.
    struct StopJoin {
        // A stop with no session releases nothing, so it confirms nothing either.
        bool hadSession = false;
        bool previewStopped = false;
        std::optional<bool> released;
    };
    void close(const std::optional<std::string>& requestId, FinishReason reason);
    void terminate(const std::string& code);
    void finish(FinishReason reason, bool closeHelper);
    void finishRecording(FinishReason reason);
    void fullStop(FinishReason reason, bool closeHelper);
    void finishWhenReady(const std::shared_ptr<StopJoin>& join, const std::shared_ptr<Movie>& stopped,
                         FinishReason reason, bool closeHelper);
    void finishedMovie(const std::shared_ptr<Movie>& movie, FinishReason reason, bool released,
                       bool closeHelper);
    void endCloseIfNeeded(bool force);
    void armWatchdog(double seconds, FinishReason reason);
    void cancelWatchdog();

    // --- State (controlQueue only) ---
    const std::string id_;
    const Limits limits_;
    const std::function<double()> clock_;
    const std::shared_ptr<Output> output_;
    const std::shared_ptr<DeviceSystem> devices_;
    std::shared_ptr<OwnedFiles> files_;
    // Screenshots are encoded by a stateless PNG encoder, so there is no image context to keep.
    std::shared_ptr<LatestPreview> previewPipeline_;
    std::int64_t sequence_ = 0;
    Connection connection_ = Connection::disconnected;
    InventoryState inventory_;
    std::optional<Json> selection_;
    std::shared_ptr<CaptureSession> session_;
    std::shared_ptr<VideoDataOutput> videoOutput_;
    SourceState source_;
    int previewFPS_ = 60;
    double connectedMono_ = 0;
    int screenshots_ = 0;
    int movies_ = 0;
    std::shared_ptr<Movie> movie_;
    std::optional<Json> lastError_;
    Lifecycle lifecycle_;
    // Made with the engine; see create().
    std::unique_ptr<Timer> tickTimer_;
    std::unique_ptr<Timer> startTimeout_;
    std::unique_ptr<Timer> finishTimeout_;
    std::unique_ptr<Timer> permissionTimeout_;
    std::unique_ptr<DeadlineWatchdog> watchdog_;
    std::vector<std::unique_ptr<SignalSource>> signalSources_;
    PassivePermissionSnapshot permissionSnapshot_;
};

}  // namespace qv
