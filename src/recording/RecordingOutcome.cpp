#include "recording/RecordingOutcome.h"

namespace qv {

const char* protocolName(RecordingState state) {
    switch (state) {
        case RecordingState::recording:
            return "recording";
        case RecordingState::finishing:
            return "finishing";
        case RecordingState::complete:
            return "complete";
        case RecordingState::partial:
            return "partial";
        case RecordingState::failed:
            return "failed";
    }
    return "failed";
}

const char* protocolName(FinishReason reason) {
    switch (reason) {
        case FinishReason::duration:
            return "duration";
        case FinishReason::stop:
            return "stop";
        case FinishReason::limit:
            return "limit";
        case FinishReason::disconnect:
            return "disconnect";
        case FinishReason::close:
            return "close";
        case FinishReason::eof:
            return "eof";
        case FinishReason::signal:
            return "signal";
        case FinishReason::error:
            return "error";
        case FinishReason::sessionLimit:
            return "session_limit";
    }
    return "error";
}

bool endsOnlyTheRecording(FinishReason reason) {
    return reason == FinishReason::stop || reason == FinishReason::duration || reason == FinishReason::limit;
}

RecordingOutcome recordingOutcome(const RecordingEnd& end) {
    const FinishReason r = end.reason;
    // The file-size limit, an error and the session limit never count as an ordinary end.
    const bool ordinary = r == FinishReason::duration || r == FinishReason::stop ||
                          r == FinishReason::disconnect || r == FinishReason::close ||
                          r == FinishReason::eof || r == FinishReason::signal;
    bool streamContinues = false;
    bool acceptable = false;
    if (end.devicesReleased) {
        acceptable = ordinary;
    } else if (end.streamRunning) {
        streamContinues = endsOnlyTheRecording(r);
        acceptable = streamContinues && ordinary;
    }
    const bool sound = end.writerCompleted && end.videoSamples > 0 && end.bytes > 0 && acceptable;
    RecordingState state = RecordingState::failed;
    if (sound && !end.errorRecorded) {
        state = RecordingState::complete;
    } else if (end.bytes > 0) {
        state = RecordingState::partial;
    }
    return {state, streamContinues};
}

}  // namespace qv
