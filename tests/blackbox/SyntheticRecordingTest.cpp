#include "HelperProcess.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

using qvtest::Json;

Json ffprobe(const std::string& path) {
    const std::string command =
        "ffprobe -v error -of json -show_format -show_streams -show_entries "
        "frame=pict_type '" +
        path + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return Json();
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    ::pclose(pipe);
    return Json::parse(text, nullptr, false);
}

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

void expectVideoTrack(const Json& probe) {
    const Json& video = probe["streams"][0];
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["width"], 1280);
    EXPECT_EQ(video["height"], 1152);
    EXPECT_EQ(video["has_b_frames"], 0);
    EXPECT_EQ(video["color_range"], "tv");
    EXPECT_EQ(video["color_space"], "smpte170m");
    EXPECT_EQ(video["pix_fmt"], "yuv420p");
    for (const Json& frame : probe["frames"]) ASSERT_NE(frame.value("pict_type", ""), "B");
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
    for (const char* key : {"synthetic"}) EXPECT_EQ(result[key], true);
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

    const Json probe = ffprobe(mp4);
    ASSERT_TRUE(probe.is_object());
    ASSERT_EQ(probe["streams"].size(), 1u);
    expectVideoTrack(probe);
    EXPECT_EQ(probe["frames"].size(), 120u);
    EXPECT_NEAR(std::stod(probe["format"]["duration"].get<std::string>()), 2.0, 0.05);
}

TEST(SyntheticRecording, AudioRunAddsAMonoAacTrack) {
    const Json result = runSynthetic({"--synthetic-audio-test", "1000"});
    ASSERT_TRUE(result.is_object());
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["videoSamples"], 60);
    EXPECT_EQ(result["audio"], true);
    EXPECT_EQ(result["audioCodec"], "aac");

    const Json probe =
        ffprobe(result["sessionDir"].get<std::string>() + "/" + result["mp4"]["basename"].get<std::string>());
    ASSERT_TRUE(probe.is_object());
    ASSERT_EQ(probe["streams"].size(), 2u);
    expectVideoTrack(probe);
    const Json& audio = probe["streams"][1];
    EXPECT_EQ(audio["codec_name"], "aac");
    EXPECT_EQ(audio["sample_rate"], "48000");
    EXPECT_EQ(audio["channels"], 1);
    EXPECT_NEAR(std::stod(probe["format"]["duration"].get<std::string>()), 1.0, 0.05);
    EXPECT_NEAR(std::stod(audio["duration"].get<std::string>()), 1.0, 0.05);
}

}  // namespace
