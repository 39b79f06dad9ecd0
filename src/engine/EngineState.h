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

// Closing, busy transitions and the ids that tell a stale continuation from the current one.
struct Lifecycle {
    // Set by close and never cleared: every later request is refused.
    bool shutdown = false;
    bool terminating = false;
    // Only the requests served while busy are accepted.
    bool busy = false;
    bool releaseConfirmed = true;
    // The close request to answer once closing ends.
    std::optional<std::string> closingReply;
    std::string transitionID;
    std::optional<std::string> permissionRequestID;
    std::optional<std::string> finishingOperationID;
};

}  // namespace qv
