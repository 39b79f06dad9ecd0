#include "recording/RecordingOutcome.h"

#include <gtest/gtest.h>

using qv::FinishReason;
using qv::RecordingState;

TEST(RecordingOutcome, OnlyAnOrdinaryEndOfASoundFileIsComplete) {
    enum Stream { released, running, lost };
    struct Case {
        FinishReason reason;
        Stream stream;
        RecordingState state;
        bool streamContinues;
        // What differs from a finished writer with frames, bytes and no recorded error.
        std::function<void(qv::RecordingEnd&)> change = [](qv::RecordingEnd&) {};
    };
    const Case cases[] = {
        {FinishReason::stop, running, RecordingState::complete, true},
        {FinishReason::duration, running, RecordingState::complete, true},
        // The file-size limit never counts as complete.
        {FinishReason::limit, running, RecordingState::partial, true},
        {FinishReason::disconnect, released, RecordingState::complete, false},
        {FinishReason::signal, released, RecordingState::complete, false},
        {FinishReason::error, released, RecordingState::partial, false},
        {FinishReason::sessionLimit, released, RecordingState::partial, false},
        // Without a confirmed release nothing that ends the connection is complete.
        {FinishReason::disconnect, lost, RecordingState::partial, false},
        {FinishReason::stop, running, RecordingState::partial, true, [](auto& e) { e.errorRecorded = true; }},
        {FinishReason::duration, running, RecordingState::partial, true, [](auto& e) { e.videoSamples = 0; }},
        {FinishReason::close, released, RecordingState::partial, false,
         [](auto& e) { e.writerCompleted = false; }},
        {FinishReason::stop, running, RecordingState::failed, true, [](auto& e) { e.bytes = 0; }},
    };
    for (const auto& c : cases) {
        qv::RecordingEnd end{c.reason, c.stream == released, c.stream == running, true, 10, 1000, false};
        c.change(end);
        SCOPED_TRACE(std::string(qv::protocolName(c.reason)) + " stream " + std::to_string(c.stream));
        const auto outcome = qv::recordingOutcome(end);
        EXPECT_STREQ(qv::protocolName(outcome.state), qv::protocolName(c.state));
        EXPECT_EQ(outcome.streamContinues, c.streamContinues);
    }
}
