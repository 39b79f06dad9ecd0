#include "recording/RecordingOutcome.h"

#include <gtest/gtest.h>

namespace {

using qv::FinishReason;
using qv::RecordingState;

// A recording whose writer finished with frames and bytes.
qv::RecordingEnd written(FinishReason reason) {
    return {.reason = reason, .writerCompleted = true, .videoSamples = 10, .bytes = 1000};
}

}  // namespace

TEST(RecordingOutcome, OnlyAnOrdinaryEndOfASoundFileIsComplete) {
    struct Case {
        qv::RecordingEnd end;
        RecordingState state;
        bool streamContinues;
    };
    const auto released = [](qv::RecordingEnd end) {
        end.devicesReleased = true;
        return end;
    };
    const auto running = [](qv::RecordingEnd end) {
        end.streamRunning = true;
        return end;
    };
    auto withError = running(written(FinishReason::stop));
    withError.errorRecorded = true;
    auto noFrames = running(written(FinishReason::duration));
    noFrames.videoSamples = 0;
    auto unfinished = released(written(FinishReason::close));
    unfinished.writerCompleted = false;
    auto nothingWritten = running(written(FinishReason::stop));
    nothingWritten.writerCompleted = false;
    nothingWritten.bytes = 0;
    const Case cases[] = {
        // The recording alone ends and the stream goes on.
        {running(written(FinishReason::stop)), RecordingState::complete, true},
        {running(written(FinishReason::duration)), RecordingState::complete, true},
        // The file-size limit never counts as complete.
        {running(written(FinishReason::limit)), RecordingState::partial, true},
        // The connection ends with the devices released.
        {released(written(FinishReason::disconnect)), RecordingState::complete, false},
        {released(written(FinishReason::signal)), RecordingState::complete, false},
        {released(written(FinishReason::error)), RecordingState::partial, false},
        {released(written(FinishReason::sessionLimit)), RecordingState::partial, false},
        // A connection that ends without a confirmed release keeps nothing complete.
        {written(FinishReason::disconnect), RecordingState::partial, false},
        {withError, RecordingState::partial, true},
        {noFrames, RecordingState::partial, true},
        {unfinished, RecordingState::partial, false},
        {nothingWritten, RecordingState::failed, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(qv::protocolName(c.end.reason)) + " released " +
                     std::to_string(c.end.devicesReleased) + " running " +
                     std::to_string(c.end.streamRunning));
        const auto outcome = qv::recordingOutcome(c.end);
        EXPECT_EQ(qv::protocolName(outcome.state), std::string(qv::protocolName(c.state)));
        EXPECT_EQ(outcome.streamContinues, c.streamContinues);
    }
}
