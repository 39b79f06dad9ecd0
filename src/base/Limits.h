#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

// Every time and size bound of the helper, with the protocol's values as defaults. Production runs
// on `protocolLimits`; tests pass shorter waits so that no test sits out a production deadline.
struct Limits {
    // Reported to the host in "ready".
    std::int64_t maxDurationMs = 600'000;
    std::int64_t maxRecordBytes = 134'217'728;
    int maxRecordings = 2;
    int maxScreenshots = 32;
    std::int64_t maxSnapshotBytes = 2'097'152;
    std::int64_t maxPreviewBytes = 1'048'576;

    // Recordings.
    std::int64_t defaultDurationMs = 180'000;
    // A recording ends this far below the file-size ceiling, so the trailer still fits.
    std::int64_t recordingHeadroomBytes = 2'097'152;
    // From the end of the recording's duration to its forced stop, and for a finish to end it.
    double recordingFinishSeconds = 15.0;

    // The engine's waits.
    double tickSeconds = 0.25;
    double permissionSeconds = 45.0;
    double startSeconds = 15.0;
    double finishSeconds = 15.0;
    // The watchdog armed when a connection starts; a recording replaces it.
    double sessionSeconds = 600.0;
    // From a watchdog's deadline to its forced exit.
    double watchdogGraceSeconds = 17.0;
    // A source that sends no first frame, or pauses this long, has stalled.
    double firstFrameSeconds = 10.0;
    double frameGapSeconds = 5.0;
    // The newest frame a "live_frame" may lease.
    double liveFrameFreshSeconds = 5.0;

    // Forced exits: after a close starts, after a termination, after a stall is reported.
    double closeExitSeconds = 17.0;
    double terminateExitSeconds = 2.0;
    double stalledExitSeconds = 0.1;

    // Request intake: how long a line waits for the control queue.
    double handOffSeconds = 10.0;

    // Output channel: how long a line may wait to be written, and what may wait.
    double lineDeadlineSeconds = 2.0;
    int mostPendingLines = 32;
    std::size_t mostPendingBytes = 262'144;
};

inline constexpr Limits protocolLimits{};

}  // namespace qv
