#pragma once

#include <cstdint>

namespace qv {

// Where a recording stands; its protocol name is what "state" reports.
enum class RecordingState { recording, finishing, complete, partial, failed };
const char* protocolName(RecordingState state);

// Why a recording or a connection ends; its protocol name is the record's "reason".
enum class FinishReason { duration, stop, limit, disconnect, close, eof, signal, error, sessionLimit };
const char* protocolName(FinishReason reason);

// The reasons that end only the recording and leave the capture session running.
bool endsOnlyTheRecording(FinishReason reason);

// What is known about a recording once its writer is done.
struct RecordingEnd {
    FinishReason reason;
    // The capture session was torn down and its devices confirmed released.
    bool devicesReleased = false;
    // The capture session still runs.
    bool streamRunning = false;
    bool writerCompleted = false;
    std::int64_t videoSamples = 0;
    std::int64_t bytes = 0;
    // An error was recorded for the session before the recording ended.
    bool errorRecorded = false;
};

struct RecordingOutcome {
    // Complete, partial or failed.
    RecordingState state;
    bool streamContinues;
};

// Complete only for a finished writer with frames and bytes, ended for an ordinary reason and
// without a recorded error; otherwise partial when anything was written, else failed.
RecordingOutcome recordingOutcome(const RecordingEnd& end);

}  // namespace qv
