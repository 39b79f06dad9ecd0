#include "capture/Movie.h"
#include "files/OwnedFiles.h"
#include "platform/Uuid.h"

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

namespace {

using qv::AudioFormat;
using qv::AudioSample;
using qv::Movie;

qv::PixelBufferRef frameOf(int width, int height, std::uint8_t seed = 0) {
    auto frame = qv::PixelBuffer::create(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = frame->row(y) + x * 4;
            p[0] = static_cast<std::uint8_t>(x * 7 + seed);
            p[1] = static_cast<std::uint8_t>(y * 13);
            p[2] = static_cast<std::uint8_t>(x * y + 40);
            p[3] = 255;
        }
    }
    return frame;
}

std::string codeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const qv::CaptureError& error) {
        return error.code();
    }
    return "none";
}

bool exists(const qv::OwnedFiles& files, const std::string& name) {
    struct stat info {};
    return ::fstatat(files.directoryFD(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

AudioSample tone(double time, int rate = 48000, int channels = 2) {
    return AudioSample{
        {rate, channels}, std::vector<std::int16_t>(static_cast<std::size_t>(rate / 100 * channels)), time};
}

class MovieTest : public ::testing::Test {
protected:
    qv::OwnedFiles files;
    std::shared_ptr<Movie> make(int width, int height, std::optional<AudioFormat> audio = std::nullopt,
                                std::string id = qv::randomUuid()) {
        return std::make_shared<Movie>(std::move(id), 1000, files, frameOf(width, height), audio);
    }
};

TEST(MovieBitRate, FollowsTheSourceArea) {
    EXPECT_EQ(qv::recordingBitRate(1, 10'416), 8'000'000);
    EXPECT_EQ(qv::recordingBitRate(1, 10'417), 8'000'256);
    EXPECT_EQ(qv::recordingBitRate(2, 13'021), 20'000'000);
    EXPECT_EQ(qv::recordingBitRate(512, 256), 20'000'000);
    EXPECT_EQ(qv::recordingBitRate(160, 144), 17'694'720);
    EXPECT_EQ(qv::recordingBitRate(64, 64), 8'000'000);
}

TEST_F(MovieTest, AcceptsOnlyBoundedEvenSizesAndLeavesNoFileWhenItRefuses) {
    EXPECT_NO_THROW(make(2, 2));
    EXPECT_NO_THROW(make(512, 256));
    const std::string id = qv::randomUuid();
    for (const auto& [w, h] : {std::pair{1, 2}, {514, 2}, {3, 4}, {512, 258}}) {
        EXPECT_EQ(codeOf([&] { make(w, h, std::nullopt, id); }), "FORMAT_UNSUPPORTED") << w << "x" << h;
        EXPECT_FALSE(exists(files, "capture-" + id + ".mp4"));
    }
    // The refused id is still free.
    EXPECT_NO_THROW(make(4, 4, std::nullopt, id));
}

TEST_F(MovieTest, AudioNeedsABoundedRateAndOneOrTwoChannels) {
    EXPECT_TRUE(make(16, 16, AudioFormat{48000, 2})->writer->hasAudio());
    EXPECT_FALSE(make(16, 16)->writer->hasAudio());
    for (const AudioFormat format : {AudioFormat{7999, 1}, {192001, 2}, {48000, 3}, {48000, 0}}) {
        EXPECT_EQ(codeOf([&] { make(16, 16, format); }), "AUDIO_FORMAT_UNSUPPORTED") << format.sampleRate;
    }
    // The size is checked before the audio.
    EXPECT_EQ(codeOf([&] { make(3, 4, AudioFormat{7999, 1}); }), "FORMAT_UNSUPPORTED");
}

TEST_F(MovieTest, TheFileNameAndRecordUseTheLowerCasedIdAndAnIdIsUsedOnce) {
    std::string upper = qv::randomUuid();
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    std::string lower = upper;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });

    auto movie = make(8, 8, std::nullopt, upper);
    EXPECT_EQ(movie->basename, "capture-" + lower + ".mp4");
    EXPECT_EQ(movie->json()["captureId"], lower);
    EXPECT_TRUE(exists(files, movie->basename));
    struct stat info {};
    ASSERT_EQ(::fstatat(files.directoryFD(), movie->basename.c_str(), &info, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_EQ(codeOf([&] { make(8, 8, std::nullopt, lower); }), "CAPTURE_EXISTS");
    // A refused duplicate leaves the first recording's file alone.
    EXPECT_TRUE(exists(files, movie->basename));
}

TEST_F(MovieTest, JsonBeforeTheFirstFrame) {
    auto movie = make(8, 8);
    const qv::Json json = movie->json();
    EXPECT_EQ(json.size(), 9u);
    EXPECT_EQ(json["state"], "recording");
    EXPECT_EQ(json["durationMs"], 0);
    EXPECT_EQ(json["requestedDurationMs"], 1000);
    EXPECT_EQ(json["videoSamples"], 0);
    movie->completed = qv::Json{{"state", "complete"}};
    EXPECT_EQ(movie->json(), movie->completed);
}

TEST_F(MovieTest, RecordingRulesStartAtTheFirstFrameAndDropWhatCannotBeWritten) {
    auto movie = make(8, 8, AudioFormat{48000, 2});
    // Audio before the first picture is neither written nor counted.
    EXPECT_FALSE(movie->recordAudio(tone(4.0)));
    EXPECT_EQ(movie->audioSamples + movie->droppedAudio, 0);

    EXPECT_FALSE(movie->recordVideo(frameOf(8, 8), 5.0));
    EXPECT_EQ(movie->firstPTS, 5.0);
    EXPECT_EQ(movie->videoSamples, 1);

    // Earlier than the first frame: ignored, not counted.
    movie->recordVideo(frameOf(8, 8), 4.5);
    movie->recordAudio(tone(4.9));
    EXPECT_EQ(movie->droppedVideo + movie->droppedAudio, 0);

    // The same time again is dropped and counted.
    movie->recordVideo(frameOf(8, 8), 5.0);
    EXPECT_EQ(movie->droppedVideo, 1);
    // So is a frame whose size changed since the recording began.
    movie->recordVideo(frameOf(16, 8), 5.2);
    EXPECT_EQ(movie->droppedVideo, 2);

    movie->recordAudio(tone(5.0));
    movie->recordAudio(tone(5.0));
    EXPECT_EQ(movie->audioSamples, 1);
    EXPECT_EQ(movie->droppedAudio, 1);

    // Without an audio track every audio sample is dropped.
    auto silent = make(8, 8);
    silent->recordVideo(frameOf(8, 8), 1.0);
    silent->recordAudio(tone(1.0));
    silent->recordAudio(tone(1.1));
    EXPECT_EQ(silent->droppedAudio, 2);
    EXPECT_EQ(silent->audioSamples, 0);

    // Nothing is recorded once the movie is finishing.
    auto finishing = make(8, 8);
    finishing->state = "finishing";
    finishing->recordVideo(frameOf(8, 8), 1.0);
    EXPECT_FALSE(finishing->firstPTS);
    EXPECT_EQ(finishing->videoSamples + finishing->droppedVideo, 0);
}

TEST_F(MovieTest, ElapsedTimeRunsFromTheFirstToTheLatestWrittenFrame) {
    auto movie = make(8, 8);
    movie->recordVideo(frameOf(8, 8), 10.0);
    EXPECT_EQ(movie->elapsedMs(), 0);
    for (int i = 0; i < 1000 && movie->lastVideoPTS != 10.5; ++i) {
        if (movie->writer->isVideoReady()) movie->recordVideo(frameOf(8, 8), 10.5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(movie->elapsedMs(), 500);
    EXPECT_EQ(movie->json()["durationMs"], 500);
}

TEST(MovieEnlargement, EverySourcePixelBecomesAnEightByEightBlock) {
    const int w = 6;
    const int h = 4;
    const auto source = frameOf(w, h, 3);
    const int W = w * 8;
    const int H = h * 8;
    std::vector<std::uint8_t> y(W * H), u(W * H / 4), v(W * H / 4), scratch(w * h * 3);
    std::uint8_t* const planes[3] = {y.data(), u.data(), v.data()};
    const int strides[3] = {W, W / 2, W / 2};
    qv::enlargeToI420(*source, planes, strides, scratch.data());

    // The reference: enlarge the BGRA picture itself, then convert it.
    std::vector<std::uint8_t> big(W * H * 4);
    for (int by = 0; by < H; ++by) {
        for (int bx = 0; bx < W; ++bx)
            std::copy_n(source->row(by / 8) + (bx / 8) * 4, 4, &big[(by * W + bx) * 4]);
    }
    std::vector<std::uint8_t> ry(W * H), ru(W * H / 4), rv(W * H / 4);
    libyuv::ARGBToI420(big.data(), W * 4, ry.data(), W, ru.data(), W / 2, rv.data(), W / 2, W, H);
    EXPECT_EQ(y, ry);
    EXPECT_EQ(u, ru);
    EXPECT_EQ(v, rv);
    // And each block is uniform.
    for (int by = 0; by < H; ++by) {
        for (int bx = 0; bx < W; ++bx) ASSERT_EQ(y[by * W + bx], y[(by / 8 * 8) * W + bx / 8 * 8]);
    }
}

}  // namespace
