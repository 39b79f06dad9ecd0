#include "SimulatedPlayers.h"

#include "protocol/Digest.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cctype>

using namespace qvtest;

namespace {

const Json captureLimit = {{"code", "CAPTURE_LIMIT"},
                           {"message", "A UUID captureId and remaining recording quota are required"}};
const Json unavailable = {{"code", "RECORDING_UNAVAILABLE"},
                          {"message", "A connected native frame and no active recording are required"}};

Json playerWithMicrophone() {
    return {{"video", {simVideo(1)}}, {"audio", {simAudio(1)}}};
}

// Connects and waits until both a frame and an audio sample have arrived.
void connectAndWarmUp(SimulatedHelper& helper, bool withAudio) {
    const Json reply = helper.connect(1, withAudio);
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    helper.waitStatus([&](const Json& s) {
        return s["source"].is_object() && s["source"]["videoSamples"].get<int>() > 3 &&
               (!withAudio || s["source"]["audioSamples"].get<int>() > 3);
    });
}

std::string upper(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

Json finished(SimulatedHelper& helper, double timeout = 20.0) {
    const auto event = helper->readEvent("recording_finished", timeout);
    return event ? (*event)["recording"] : Json();
}

double streamDuration(const Json& stream) {
    return std::stod(stream.value("duration", "0"));
}

// The file is an H.264 video enlarged 8× and, when asked, an AAC track.
void expectPlayable(SimulatedHelper& helper, const Json& recording, bool withAudio, double seconds) {
    ASSERT_TRUE(recording["basename"].is_string()) << recording.dump();
    const std::string path = helper.sessionDir() + "/" + recording["basename"].get<std::string>();
    EXPECT_EQ(recording["sha256"], qv::sha256Hex(helper.fileText(recording["basename"])));
    EXPECT_EQ(recording["bytes"].get<std::size_t>(), helper.fileText(recording["basename"]).size());
    const Json info = probe(path);
    ASSERT_TRUE(info.is_object()) << "ffprobe could not read " << path;
    Json video, audio;
    for (const auto& stream : info["streams"]) {
        if (stream["codec_type"] == "video") video = stream;
        if (stream["codec_type"] == "audio") audio = stream;
    }
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["width"], 1280);
    EXPECT_EQ(video["height"], 1152);
    EXPECT_NEAR(streamDuration(video), seconds, 0.5);
    if (withAudio) {
        EXPECT_EQ(audio["codec_name"], "aac");
        EXPECT_NEAR(streamDuration(audio), seconds, 0.6);
    } else {
        EXPECT_TRUE(audio.is_null()) << audio.dump();
    }
}

}  // namespace

TEST(Recording, DurationOrStopEndsARecordingWhileTheStreamContinues) {
    SimulatedHelper helper(playerWithMicrophone());
    const std::string captureId = upper(freshUuid());
    EXPECT_EQ(helper.error("start_recording", {{"captureId", captureId}}), unavailable);
    connectAndWarmUp(helper, true);

    EXPECT_EQ(
        helper.error("start_recording", {{"captureId", captureId}, {"durationMs", 999}}),
        (Json{{"code", "INVALID_ARGUMENT"}, {"message", "Expected an integer from 1000 through 600000"}}));
    EXPECT_EQ(helper.error("start_recording", {{"captureId", "not-a-uuid"}}), captureLimit);
    EXPECT_EQ(helper.error("stop_recording"),
              (Json{{"code", "NOT_RECORDING"}, {"message", "There is no active recording"}}));

    const Json before = helper.status();
    const Json started = helper.ok("start_recording", {{"captureId", captureId}, {"durationMs", 1000}});
    EXPECT_EQ(started["accepted"], true);
    // Published previews may raise it further meanwhile.
    EXPECT_GE(started["stateSequence"].get<int>(), before["stateSequence"].get<int>() + 1);
    EXPECT_EQ(started["recording"]["captureId"], lower(captureId));
    EXPECT_EQ(started["recording"]["requestedDurationMs"], 1000);
    EXPECT_EQ(started["recording"]["state"], "recording");
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}), unavailable);

    const Json recording = finished(helper);
    EXPECT_EQ(recording["reason"], "duration");
    EXPECT_EQ(recording["state"], "complete");
    EXPECT_EQ(recording["streamContinues"], true);
    EXPECT_EQ(recording["devicesReleased"], false);
    EXPECT_TRUE(recording["error"].is_null());
    EXPECT_EQ(recording.size(), 15u);
    expectPlayable(helper, recording, true, 1.0);

    // Stopped instead: the stream goes on.
    const Json second = helper.ok("start_recording", {{"captureId", freshUuid()}});
    EXPECT_EQ(second["recording"]["requestedDurationMs"], 180000);
    helper.waitStatus([](const Json& s) { return s["recording"]["durationMs"].get<int>() >= 1500; });
    EXPECT_EQ(helper.ok("stop_recording")["accepted"], true);
    const Json stopped = finished(helper);
    EXPECT_EQ(stopped["reason"], "stop");
    EXPECT_EQ(stopped["state"], "complete");
    EXPECT_EQ(stopped["streamContinues"], true);
    EXPECT_EQ(stopped["devicesReleased"], false);
    EXPECT_GT(stopped["videoSamples"].get<int>(), 60);
    EXPECT_GT(stopped["audioSamples"].get<int>(), 100);
    expectPlayable(helper, stopped, true, stopped["durationMs"].get<double>() / 1000.0);
    const Json status = helper.status();
    EXPECT_EQ(status["connection"], "connected");
    EXPECT_EQ(status["recording"], stopped);
    EXPECT_EQ(helper.error("stop_recording")["code"], "NOT_RECORDING");
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}), captureLimit);
}

TEST(Recording, SilentMicrophoneRefusesWithoutUsingQuota) {
    SimulatedHelper helper(Json{{"video", {simVideo(1)}}, {"audio", {simAudio(1, {{"silent", true}})}}});
    connectAndWarmUp(helper, false);
    ASSERT_EQ(helper.ok("disconnect")["accepted"], true);
    helper.waitStatus([](const Json& s) { return s["connection"] == "disconnected"; });
    const Json reply = helper.connect(1, true);
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    helper.waitFrame();
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}),
              (Json{{"code", "NO_AUDIO_SAMPLE"},
                    {"message", "The explicitly selected audio has not produced a native sample"}}));

    // The quota is untouched. Without a microphone the file has no audio; an id used before is
    // refused by the writer, and that start still counts.
    ASSERT_EQ(helper.ok("disconnect")["accepted"], true);
    helper.waitStatus([](const Json& s) { return s["connection"] == "disconnected"; });
    connectAndWarmUp(helper, false);
    const std::string captureId = freshUuid();
    helper.ok("start_recording", {{"captureId", captureId}, {"durationMs", 1000}});
    const Json recording = finished(helper);
    EXPECT_EQ(recording["state"], "complete");
    expectPlayable(helper, recording, false, 1.0);
    EXPECT_EQ(helper.error("start_recording", {{"captureId", captureId}})["code"], "CAPTURE_EXISTS");
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}), captureLimit);
}

TEST(Recording, DisconnectEndsTheRecordingAndReleasesTheDevices) {
    SimulatedHelper helper(playerWithMicrophone());
    connectAndWarmUp(helper, true);
    helper.ok("start_recording", {{"captureId", freshUuid()}});
    helper.waitStatus([](const Json& s) { return s["recording"]["videoSamples"].get<int>() >= 30; });
    EXPECT_EQ(helper.ok("disconnect")["accepted"], true);
    const Json recording = finished(helper);
    EXPECT_EQ(recording["reason"], "disconnect");
    EXPECT_EQ(recording["devicesReleased"], true);
    EXPECT_EQ(recording["streamContinues"], false);
    EXPECT_EQ(recording["state"], "complete");
    const Json status = helper.status();
    EXPECT_EQ(status["connection"], "disconnected");
    for (const auto& line : helper->skipped()) EXPECT_NE(line.value("event", ""), "closed");
    expectPlayable(helper, recording, true, recording["durationMs"].get<double>() / 1000.0);
}

TEST(Recording, SignalFinishesTheFileThenCloses) {
    SimulatedHelper helper(playerWithMicrophone());
    connectAndWarmUp(helper, true);
    helper.ok("start_recording", {{"captureId", freshUuid()}});
    helper.waitStatus([](const Json& s) { return s["recording"]["videoSamples"].get<int>() >= 30; });
    helper->signal(SIGTERM);
    const Json recording = finished(helper);
    EXPECT_EQ(recording["reason"], "signal");
    EXPECT_EQ(recording["state"], "complete");
    EXPECT_EQ(recording["devicesReleased"], true);
    const auto closed = helper->readEvent("closed", 20.0);
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["devicesReleased"], true);
    EXPECT_EQ(helper->waitExit(20.0), 0) << helper->errorText();
    expectPlayable(helper, recording, true, recording["durationMs"].get<double>() / 1000.0);
}

TEST(Recording, UnconfirmedReleaseClosesWithStatusTwo) {
    SimulatedHelper helper(Json{{"video", {simVideo(1, {{"releaseFails", true}})}}});
    connectAndWarmUp(helper, false);
    const auto reply = helper->request("close", Json::object(), 20.0);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["result"]["closed"], false);
    EXPECT_EQ((*reply)["result"]["devicesReleased"], false);
    const auto closed = helper->readEvent("closed", 10.0);
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["devicesReleased"], false);
    EXPECT_EQ(helper->waitExit(20.0), 2);
}
