#include "SimulatedPlayers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace {

using qvtest::Json;

unsigned modeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0;
}

Json runSynthetic(const std::vector<std::string>& args) {
    const auto run = qvtest::runHelper(args, {}, 120.0);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.err, "");
    return Json::parse(run.out, nullptr, false);
}

void expectVideoTrack(const Json& info) {
    const Json& video = info["streams"][0];
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["width"], 1280);
    EXPECT_EQ(video["height"], 1152);
    EXPECT_EQ(video["has_b_frames"], 0);
    EXPECT_EQ(video["color_range"], "tv");
    EXPECT_EQ(video["color_space"], "smpte170m");
    EXPECT_EQ(video["pix_fmt"], "yuv420p");
    for (const Json& frame : info["frames"]) ASSERT_NE(frame.value("pict_type", ""), "B");
}

TEST(SyntheticRecording, DefaultRunWritesTwoSecondsOfVideo) {
    const Json result = runSynthetic({"--synthetic-test"});
    ASSERT_TRUE(result.is_object());
    EXPECT_EQ(result.size(), 17u);
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["videoSamples"], 120);
    EXPECT_EQ(result["sourceDurationSeconds"], 2.0);
    EXPECT_NEAR(result["containerDurationSeconds"].get<double>(), 2.0, 0.05);
    EXPECT_EQ(result["audio"], false);
    EXPECT_EQ(result["audioCodec"], "none");
    EXPECT_EQ(result["codec"], "h264");
    EXPECT_EQ(result["wallClockEnduranceTest"], false);
    EXPECT_EQ(result["synthetic"], true);
    for (const char* key : {"deviceEnumeration", "permissionsQueried", "streamsOpened"})
        EXPECT_EQ(result[key], false);

    const std::string dir = result["sessionDir"];
    const std::string mp4 = dir + "/" + result["mp4"]["basename"].get<std::string>();
    EXPECT_EQ(result["mp4"]["sha256"].get<std::string>().size(), 64u);
    struct stat info {};
    ASSERT_EQ(::stat(mp4.c_str(), &info), 0);
    EXPECT_EQ(result["mp4"]["bytes"], info.st_size);
    EXPECT_EQ(modeOf(mp4), 0600u);
    EXPECT_EQ(modeOf(dir + "/synthetic.jpg"), 0600u);
    EXPECT_EQ(modeOf(dir + "/synthetic.png"), 0600u);
    ASSERT_EQ(::stat((dir + "/synthetic.jpg").c_str(), &info), 0);
    EXPECT_EQ(result["jpegBytes"], info.st_size);

    const Json probed = qvtest::probe(mp4, true);
    ASSERT_TRUE(probed.is_object());
    ASSERT_EQ(probed["streams"].size(), 1u);
    expectVideoTrack(probed);
    EXPECT_EQ(probed["frames"].size(), 120u);
    EXPECT_NEAR(std::stod(probed["format"]["duration"].get<std::string>()), 2.0, 0.05);
}

TEST(SyntheticRecording, AudioRunAddsAMonoAacTrack) {
    const Json result = runSynthetic({"--synthetic-audio-test", "1000"});
    ASSERT_TRUE(result.is_object());
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["videoSamples"], 60);
    EXPECT_EQ(result["audio"], true);
    EXPECT_EQ(result["audioCodec"], "aac");

    const Json probed = qvtest::probe(
        result["sessionDir"].get<std::string>() + "/" + result["mp4"]["basename"].get<std::string>(), true);
    ASSERT_TRUE(probed.is_object());
    ASSERT_EQ(probed["streams"].size(), 2u);
    expectVideoTrack(probed);
    const Json& audio = probed["streams"][1];
    EXPECT_EQ(audio["codec_name"], "aac");
    EXPECT_EQ(audio["sample_rate"], "48000");
    EXPECT_EQ(audio["channels"], 1);
    EXPECT_NEAR(std::stod(probed["format"]["duration"].get<std::string>()), 1.0, 0.05);
    EXPECT_NEAR(std::stod(audio["duration"].get<std::string>()), 1.0, 0.05);
}

}  // namespace
