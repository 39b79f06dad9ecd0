#include "SimulatedPlayers.h"

#include "base/Digest.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

using namespace qvtest;

namespace {

// Connects and waits until both a frame and an audio sample have arrived.
void connectAndWarmUp(SimulatedHelper& helper, bool withAudio) {
    helper.connected(1, withAudio);
    helper.waitStatus([&](const Json& s) {
        return s["source"].is_object() && s["source"]["videoSamples"].get<int>() > 3 &&
               (!withAudio || s["source"]["audioSamples"].get<int>() > 3);
    });
}

// The types of the top-level boxes of an MP4 file, with "mvex" after "moov" when that holds one.
std::vector<std::string> boxes(const std::string& bytes) {
    std::vector<std::string> types;
    for (std::uint64_t at = 0, size = 8; at + 8 <= bytes.size() && size >= 8; at += size) {
        size = 0;
        for (std::size_t i = at; i < at + 4; ++i) size = size << 8 | static_cast<unsigned char>(bytes[i]);
        types.push_back(bytes.substr(at + 4, 4));
        if (types.back() == "moov" && bytes.substr(at, size).find("mvex") != std::string::npos)
            types.push_back("mvex");
    }
    return types;
}

// What `ffmpeg -v error` says while decoding the whole file (empty when it decodes cleanly), and
// ffprobe's count of decoded video frames.
std::pair<std::string, int> decode(const std::string& path) {
    // The frames keep their own times: re-timed to a constant rate, the camera's jitter would make
    // ffmpeg's null output complain about its own rounding.
    const std::string file = " '" + path + "' ";
    const std::string errors = shellOutput("ffmpeg -nostdin -v error -i" + file +
                                           "-fps_mode passthrough -enc_time_base -1 -f null - 2>&1");
    const std::string count = shellOutput("ffprobe" + file + "-v error -count_frames -select_streams v:0 " +
                                          "-show_entries stream=nb_read_frames -of csv=p=0 2>/dev/null");
    return {errors, std::atoi(count.c_str())};
}

Json finished(SimulatedHelper& helper) {
    return helper->readEvent("recording_finished", 20.0).value_or(Json())["recording"];
}

// The record ends as told, and its file is an H.264 video enlarged 8× and, when asked, an AAC track.
void expectFinished(SimulatedHelper& helper, const Json& recording, const Json& expected, bool withAudio,
                    double seconds = 0) {
    EXPECT_TRUE(includes(recording, expected));
    ASSERT_TRUE(recording["basename"].is_string()) << recording.dump();
    const std::string bytes = helper.fileText(recording["basename"]);
    EXPECT_TRUE(includes(recording,
                         {{"state", "complete"}, {"sha256", qv::sha256Hex(bytes)}, {"bytes", bytes.size()}}));
    // A plain MP4: one index at the end, no fragments.
    auto types = boxes(bytes);
    std::erase_if(
        types, [](const std::string& t) { return t != "moov" && t != "moof" && t != "mfra" && t != "mvex"; });
    EXPECT_EQ(types, std::vector<std::string>{"moov"});
    const Json info = probe(helper.sessionDir() + "/" + recording["basename"].get<std::string>());
    ASSERT_TRUE(info.is_object()) << "ffprobe could not read " << recording["basename"];
    Json video, audio;
    for (const auto& stream : info["streams"]) (stream["codec_type"] == "video" ? video : audio) = stream;
    if (seconds == 0) seconds = recording["durationMs"].get<double>() / 1000.0;
    EXPECT_TRUE(includes(video, {{"codec_name", "h264"}, {"width", 1280}, {"height", 1152}}));
    EXPECT_NEAR(std::stod(video.value("duration", "0")), seconds, 0.5);
    EXPECT_EQ(audio.is_null() ? "none" : audio.value("codec_name", ""), withAudio ? "aac" : "none");
    if (withAudio) {
        EXPECT_NEAR(std::stod(audio.value("duration", "0")), seconds, 0.6);
    }
}

}  // namespace

TEST(Recording, DurationOrStopEndsARecordingWhileTheStreamContinues) {
    SimulatedHelper helper(Json{{"video", {simVideo(1)}}, {"audio", {simAudio(1)}}});
    const std::string lower = freshUuid();
    std::string captureId = lower;
    for (auto& c : captureId) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(helper.error("start_recording", {{"captureId", captureId}}), failure("RECORDING_UNAVAILABLE"));
    connectAndWarmUp(helper, true);
    EXPECT_EQ(
        helper.error("start_recording", {{"captureId", captureId}, {"durationMs", 999}}),
        (Json{{"code", "INVALID_ARGUMENT"}, {"message", "Expected an integer from 1000 through 600000"}}));
    EXPECT_EQ(helper.error("start_recording", {{"captureId", "not-a-uuid"}}), failure("CAPTURE_LIMIT"));
    EXPECT_EQ(helper.error("stop_recording"), failure("NOT_RECORDING"));

    EXPECT_TRUE(
        includes(helper.ok("start_recording", {{"captureId", captureId}, {"durationMs", 1000}})["recording"],
                 {{"captureId", lower}, {"state", "recording"}}));
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}),
              failure("RECORDING_UNAVAILABLE"));
    expectFinished(
        helper, finished(helper),
        {{"reason", "duration"}, {"streamContinues", true}, {"devicesReleased", false}, {"error", nullptr}},
        true, 1.0);

    const Json second = helper.ok("start_recording", {{"captureId", freshUuid()}});
    EXPECT_EQ(second["recording"]["requestedDurationMs"], 180000);
    // Counted samples, not elapsed time: a busy machine may take longer to deliver them.
    helper.waitStatus([](const Json& s) {
        return s["recording"]["videoSamples"].get<int>() > 60 &&
               s["recording"]["audioSamples"].get<int>() > 100;
    });
    EXPECT_EQ(helper.ok("stop_recording")["accepted"], true);
    const Json stopped = finished(helper);
    expectFinished(helper, stopped,
                   {{"reason", "stop"}, {"streamContinues", true}, {"devicesReleased", false}}, true);
    EXPECT_GT(stopped["videoSamples"].get<int>(), 60);
    EXPECT_GT(stopped["audioSamples"].get<int>(), 100);
    EXPECT_TRUE(includes(helper.status(), {{"connection", "connected"}, {"recording", stopped}}));
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}), failure("CAPTURE_LIMIT"));
}

TEST(Recording, SilentMicrophoneRefusesWithoutQuotaAndDisconnectEndsTheRecording) {
    SimulatedHelper helper(Json{{"video", {simVideo(1)}}, {"audio", {simAudio(1, {{"silent", true}})}}});
    helper.connected(1, true);
    helper.waitFrame();
    EXPECT_EQ(helper.error("start_recording", {{"captureId", freshUuid()}}), failure("NO_AUDIO_SAMPLE"));
    helper.disconnect();

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
    // The test grows the file itself (sparse) rather than writing 126 MiB of video. Short of the 2 MiB
    // headroom below the limit (by more than the fragment being written) nothing happens; at it, the
    // recording ends, and the finish still makes a plain file of what was written.
    const std::int64_t limit = helper.ready()["limits"]["maxRecordingBytes"].get<std::int64_t>() - 2'097'152;
    const std::string path = helper.sessionDir() + "/capture-" + id + ".mp4";
    ASSERT_EQ(::truncate(path.c_str(), limit - 4'194'304), 0);
    EXPECT_FALSE(helper->readEvent("recording_finished", 1.0));
    ASSERT_EQ(::truncate(path.c_str(), limit), 0);
    const Json bySize = finished(helper);
    EXPECT_TRUE(includes(bySize, {{"reason", "limit"}, {"state", "partial"}, {"streamContinues", true}}));
    EXPECT_GT(bySize["bytes"].get<std::int64_t>(), 0);
    EXPECT_EQ(decode(path).first, "");
    EXPECT_EQ(helper.status()["connection"], "connected");

    helper.ok("start_recording", {{"captureId", freshUuid()}});
    helper.waitStatus([](const Json& s) { return s["recording"]["videoSamples"].get<int>() >= 30; });
    helper->signal(SIGTERM);
    expectFinished(helper, finished(helper), {{"reason", "signal"}, {"devicesReleased", true}}, true);
    EXPECT_EQ(helper->readEvent("closed", 20.0).value_or(Json())["devicesReleased"], true);
    EXPECT_EQ(helper->waitExit(20.0), 0);
}

// A helper killed while recording leaves a file that plays up to at most two seconds before the kill.
void killWhileRecording(bool withAudio, int afterFrames) {
    SimulatedHelper helper(withAudio ? Json{{"video", {simVideo(1)}}, {"audio", {simAudio(1)}}}
                                     : Json{{"video", {simVideo(1)}}});
    connectAndWarmUp(helper, withAudio);
    const std::string id = freshUuid();
    helper.ok("start_recording", {{"captureId", id}});
    const Json status = helper.waitStatus(
        [&](const Json& s) { return s["recording"]["videoSamples"].get<int>() >= afterFrames; }, 120.0);
    const int sent = status["recording"]["videoSamples"].get<int>();
    helper->signal(SIGKILL);
    ASSERT_EQ(helper->waitExit(20.0), 128 + SIGKILL);
    const auto [errors, frames] = decode(helper.sessionDir() + "/capture-" + id + ".mp4");
    EXPECT_EQ(errors, "") << (withAudio ? "with" : "without") << " audio, after " << sent << " frames";
    // The simulated camera runs at 60 frames per second.
    EXPECT_GE(frames, sent - 120) << (withAudio ? "with" : "without") << " audio";
    EXPECT_LE(frames, sent + 10);
    ::testing::Test::RecordProperty(
        std::string(withAudio ? "audio" : "video") + "After" + std::to_string(afterFrames),
        std::to_string(frames) + " of " + std::to_string(sent) + " frames kept");
}

TEST(Recording, AKilledHelperLeavesAFilePlayableUpToTwoSecondsBeforeTheKill) {
    for (const int afterFrames : {90, 360})
        for (const bool withAudio : {false, true}) killWhileRecording(withAudio, afterFrames);
}
