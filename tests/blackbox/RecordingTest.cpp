#include "SimulatedPlayers.h"

#include "base/Digest.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cctype>

using namespace qvtest;

namespace {

// Connects and waits until both a frame and an audio sample have arrived.
void connectAndWarmUp(SimulatedHelper& helper, bool withAudio) {
    const Json reply = helper.connect(1, withAudio);
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    helper.waitStatus([&](const Json& s) {
        return s["source"].is_object() && s["source"]["videoSamples"].get<int>() > 3 &&
               (!withAudio || s["source"]["audioSamples"].get<int>() > 3);
    });
}

void disconnect(SimulatedHelper& helper) {
    helper.ok("disconnect");
    helper.waitStatus([](const Json& s) { return s["connection"] == "disconnected"; });
}

Json finished(SimulatedHelper& helper) {
    const auto event = helper->readEvent("recording_finished", 20.0);
    return event ? (*event)["recording"] : Json();
}

// The record ends as told, and its file is an H.264 video enlarged 8× and, when asked, an AAC track.
void expectFinished(SimulatedHelper& helper, const Json& recording, const Json& expected, bool withAudio,
                    double seconds = 0) {
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(recording[key], value) << key;
    EXPECT_EQ(recording["state"], "complete");
    ASSERT_TRUE(recording["basename"].is_string()) << recording.dump();
    const std::string bytes = helper.fileText(recording["basename"]);
    EXPECT_EQ(recording["sha256"], qv::sha256Hex(bytes));
    EXPECT_EQ(recording["bytes"].get<std::size_t>(), bytes.size());
    const Json info = probe(helper.sessionDir() + "/" + recording["basename"].get<std::string>());
    ASSERT_TRUE(info.is_object()) << "ffprobe could not read " << recording["basename"];
    Json video, audio;
    for (const auto& stream : info["streams"]) (stream["codec_type"] == "video" ? video : audio) = stream;
    if (seconds == 0) seconds = recording["durationMs"].get<double>() / 1000.0;
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["width"], 1280);
    EXPECT_EQ(video["height"], 1152);
    EXPECT_NEAR(std::stod(video.value("duration", "0")), seconds, 0.5);
    if (withAudio) {
        EXPECT_EQ(audio["codec_name"], "aac");
        EXPECT_NEAR(std::stod(audio.value("duration", "0")), seconds, 0.6);
    } else {
        EXPECT_TRUE(audio.is_null()) << audio.dump();
    }
}

}  // namespace

TEST(Recording, DurationOrStopEndsARecordingWhileTheStreamContinues) {
    SimulatedHelper helper(Json{{"video", {simVideo(1)}}, {"audio", {simAudio(1)}}});
    std::string captureId = freshUuid();
    for (auto& c : captureId) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(helper.error("start_recording", {{"captureId", captureId}}), failure("RECORDING_UNAVAILABLE"));
    connectAndWarmUp(helper, true);
    EXPECT_EQ(
        helper.error("start_recording", {{"captureId", captureId}, {"durationMs", 999}}),
        (Json{{"code", "INVALID_ARGUMENT"}, {"message", "Expected an integer from 1000 through 600000"}}));
    EXPECT_EQ(helper.error("start_recording", {{"captureId", "not-a-uuid"}}), failure("CAPTURE_LIMIT"));
    EXPECT_EQ(helper.error("stop_recording"), failure("NOT_RECORDING"));

    const Json started = helper.ok("start_recording", {{"captureId", captureId}, {"durationMs", 1000}});
    std::string lower = captureId;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(started["recording"]["captureId"], lower);
    EXPECT_EQ(started["recording"]["state"], "recording");
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}),
              failure("RECORDING_UNAVAILABLE"));
    const Json byDuration = finished(helper);
    expectFinished(
        helper, byDuration,
        {{"reason", "duration"}, {"streamContinues", true}, {"devicesReleased", false}, {"error", nullptr}},
        true, 1.0);

    const Json second = helper.ok("start_recording", {{"captureId", freshUuid()}});
    EXPECT_EQ(second["recording"]["requestedDurationMs"], 180000);
    helper.waitStatus([](const Json& s) { return s["recording"]["durationMs"].get<int>() >= 1500; });
    EXPECT_EQ(helper.ok("stop_recording")["accepted"], true);
    const Json stopped = finished(helper);
    expectFinished(helper, stopped,
                   {{"reason", "stop"}, {"streamContinues", true}, {"devicesReleased", false}}, true);
    EXPECT_GT(stopped["videoSamples"].get<int>(), 60);
    EXPECT_GT(stopped["audioSamples"].get<int>(), 100);
    const Json status = helper.status();
    EXPECT_EQ(status["connection"], "connected");
    EXPECT_EQ(status["recording"], stopped);
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}), failure("CAPTURE_LIMIT"));
}

TEST(Recording, SilentMicrophoneRefusesWithoutQuotaAndDisconnectEndsTheRecording) {
    SimulatedHelper helper(Json{{"video", {simVideo(1)}}, {"audio", {simAudio(1, {{"silent", true}})}}});
    const Json reply = helper.connect(1, true);
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    helper.waitFrame();
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}), failure("NO_AUDIO_SAMPLE"));
    disconnect(helper);

    // Without a microphone the file has no audio; a disconnect ends the recording and releases the devices.
    connectAndWarmUp(helper, false);
    const std::string captureId = freshUuid();
    helper.ok("start_recording", {{"captureId", captureId}});
    helper.waitStatus([](const Json& s) { return s["recording"]["videoSamples"].get<int>() >= 30; });
    EXPECT_EQ(helper.ok("disconnect")["accepted"], true);
    expectFinished(helper, finished(helper),
                   {{"reason", "disconnect"}, {"devicesReleased", true}, {"streamContinues", false}}, false);
    EXPECT_EQ(helper.status()["connection"], "disconnected");
    for (const auto& line : helper->skipped()) EXPECT_NE(line.value("event", ""), "closed");

    // An id used before is refused by the writer, and that start still counts: the quota is spent.
    connectAndWarmUp(helper, false);
    EXPECT_EQ(helper.error("start_recording", {{"captureId", captureId}})["code"], "CAPTURE_EXISTS");
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}), failure("CAPTURE_LIMIT"));
}

TEST(Recording, SizeLimitEndsOnlyTheRecordingAndASignalFinishesTheFileThenCloses) {
    SimulatedHelper helper(Json{{"video", {simVideo(1)}}, {"audio", {simAudio(1)}}});
    connectAndWarmUp(helper, true);
    const std::string id = freshUuid();
    helper.ok("start_recording", {{"captureId", id}, {"durationMs", 60000}});
    // The test grows the file itself (sparse) rather than writing 126 MiB of video. Just short of the
    // 2 MiB headroom below the limit nothing happens; at it, the recording ends.
    const std::int64_t limit = helper.ready()["limits"]["maxRecordingBytes"].get<std::int64_t>() - 2'097'152;
    const std::string path = helper.sessionDir() + "/capture-" + id + ".mp4";
    ASSERT_EQ(::truncate(path.c_str(), limit - 1), 0);
    EXPECT_FALSE(helper->readEvent("recording_finished", 1.0));
    ASSERT_EQ(::truncate(path.c_str(), limit), 0);
    const Json bySize = finished(helper);
    EXPECT_EQ(bySize["reason"], "limit");
    EXPECT_EQ(bySize["streamContinues"], true);
    EXPECT_GE(bySize["bytes"].get<std::int64_t>(), limit);
    EXPECT_EQ(helper.status()["connection"], "connected");

    helper.ok("start_recording", {{"captureId", freshUuid()}});
    helper.waitStatus([](const Json& s) { return s["recording"]["videoSamples"].get<int>() >= 30; });
    helper->signal(SIGTERM);
    expectFinished(helper, finished(helper), {{"reason", "signal"}, {"devicesReleased", true}}, true);
    const auto closed = helper->readEvent("closed", 20.0);
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["devicesReleased"], true);
    EXPECT_EQ(helper->waitExit(20.0), 0);
}

TEST(Recording, UnconfirmedReleaseClosesWithStatusTwo) {
    SimulatedHelper helper(Json{{"video", {simVideo(1, {{"releaseFails", true}})}}});
    connectAndWarmUp(helper, false);
    const Json reply = helper->request("close", Json::object(), 20.0).value_or(Json());
    EXPECT_EQ(reply["result"]["closed"], false) << reply.dump();
    EXPECT_EQ(reply["result"]["devicesReleased"], false);
    const auto closed = helper->readEvent("closed", 10.0);
    ASSERT_TRUE(closed);
    EXPECT_EQ((*closed)["devicesReleased"], false);
    EXPECT_EQ(helper->waitExit(20.0), 2);
}
