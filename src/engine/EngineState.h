#pragma once

#include "base/Json.h"
#include "device/CaptureDevice.h"
#include "media/AudioSample.h"
#include "media/PixelBuffer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qv {

// The capture connection as "status" reports it.
enum class Connection { disconnected, connecting, connected, stopping, failed, closed };
const char* protocolName(Connection connection);

// What the engine knows about the connected source; a connect starts it afresh.
struct SourceState {
    PixelBufferRef latestPixel;
    std::optional<AudioFormat> latestAudioFormat;
    std::optional<Json> videoFormat;
    std::optional<double> firstPTS;
    std::optional<double> lastPTS;
    std::int64_t frameID = 0;
    std::int64_t audioSamples = 0;
    std::int64_t nativeDroppedVideoSamples = 0;
    // mono() at the latest frame; 0 before the first.
    double latestArrival = 0;
};

// The latest "list": a connect must name it and the devices it held.
struct InventoryState {
    std::optional<std::string> id;
    std::vector<CaptureDeviceRef> video;
    std::vector<CaptureDeviceRef> audio;
};

// The one transition in progress, if any. Each has exactly one continuation that ends it, so no
// token is needed to tell a stale continuation from the current one.
enum class Transition {
    none,
    // From a connect until its session runs or has failed.
    connecting,
    // From a permission request until it is answered.
    requestingPermission,
    // From the end of a recording whose session runs on until the recording is reported.
    finishingRecording,
    // From a full stop until the session is released and any recording reported.
    stopping,
};

// Closing, the transition in progress and what is known of the devices' release.
struct Lifecycle {
    // Set by close and never cleared: every later request is refused.
    bool shutdown = false;
    bool terminating = false;
    Transition transition = Transition::none;
    // A capture session holds the devices.
    bool holdingDevices = false;
    // A release was not confirmed. Never cleared: the devices may still be held, whatever runs
    // afterwards.
    bool releaseLost = false;
    // The close request to answer once closing ends.
    std::optional<std::string> closingReply;

    // Only the requests served while busy are accepted.
    bool busy() const { return transition != Transition::none; }
    bool releaseConfirmed() const { return !holdingDevices && !releaseLost; }
};

}  // namespace qv
