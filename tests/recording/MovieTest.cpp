#include "base/Uuid.h"
#include "files/OwnedFiles.h"
#include "recording/Movie.h"

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

using qv::AudioFormat;
using qv::AudioSample;
using qv::Movie;

qv::PixelBufferRef frameOf(int width, int height) {
    auto frame = qv::PixelBuffer::create(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = frame->row(y) + x * 4;
            p[0] = static_cast<std::uint8_t>(x * 7 + 3);
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

AudioSample tone(double time) {
    return AudioSample{{48000, 2}, std::vector<std::int16_t>(960), time};
}

class MovieTest : public ::testing::Test {
protected:
    qv::OwnedFiles files;
    std::shared_ptr<Movie> make(int width, int height, std::optional<AudioFormat> audio = std::nullopt,
                                std::string id = qv::randomUuid()) {
        return std::make_shared<Movie>(std::move(id), 1000, files, frameOf(width, height), audio);
    }
    bool exists(const std::string& name) const {
        struct stat info {};
        return ::fstatat(files.directoryFD(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    }
};

TEST_F(MovieTest, CreationChecksLeaveNoFileBehind) {
    EXPECT_EQ(qv::recordingBitRate(1, 10'416), 8'000'000);
    EXPECT_EQ(qv::recordingBitRate(1, 10'417), 8'000'256);
    EXPECT_EQ(qv::recordingBitRate(512, 256), 20'000'000);

    const std::string id = qv::randomUuid();
    for (const auto& size : {std::pair{1, 2}, {514, 2}, {3, 4}, {512, 258}}) {
        EXPECT_EQ(codeOf([&] { make(size.first, size.second, std::nullopt, id); }), "FORMAT_UNSUPPORTED")
            << size.first << "x" << size.second;
    }
    for (const AudioFormat format : {AudioFormat{7999, 1}, {192001, 2}, {48000, 3}, {48000, 0}}) {
        EXPECT_EQ(codeOf([&] { make(16, 16, format, id); }), "AUDIO_FORMAT_UNSUPPORTED") << format.sampleRate;
    }
    EXPECT_FALSE(exists("capture-" + id + ".mp4"));

    // A refused id is still free; a used one, in any case, is taken for good.
    std::string upper = id;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    auto movie = make(512, 256, AudioFormat{48000, 2}, upper);
    EXPECT_EQ(movie->basename, "capture-" + id + ".mp4");
    EXPECT_EQ(codeOf([&] { make(8, 8, std::nullopt, id); }), "CAPTURE_EXISTS");
    EXPECT_TRUE(exists(movie->basename));
}

TEST_F(MovieTest, TheFirstFrameStartsTheTimelineAndUnwritableSamplesAreDropped) {
    auto movie = make(8, 8, AudioFormat{48000, 2});
    // Audio before the first picture, and anything earlier than it, is neither written nor counted.
    movie->recordAudio(tone(4.0));
    movie->recordVideo(frameOf(8, 8), 5.0);
    movie->recordVideo(frameOf(8, 8), 4.5);
    movie->recordAudio(tone(4.9));
    EXPECT_EQ(movie->firstPTS, 5.0);
    EXPECT_EQ(movie->videoSamples, 1);
    EXPECT_EQ(movie->droppedVideo + movie->droppedAudio + movie->audioSamples, 0);

    // A repeated time, or a frame whose size changed, is dropped and counted.
    movie->recordVideo(frameOf(8, 8), 5.0);
    movie->recordVideo(frameOf(16, 8), 5.2);
    EXPECT_EQ(movie->droppedVideo, 2);
    movie->recordAudio(tone(5.0));
    movie->recordAudio(tone(5.0));
    EXPECT_EQ(movie->audioSamples, 1);
    EXPECT_EQ(movie->droppedAudio, 1);

    // Without an audio track every audio sample is dropped; once finishing, nothing is recorded.
    auto silent = make(8, 8);
    silent->recordVideo(frameOf(8, 8), 1.0);
    silent->recordAudio(tone(1.0));
    EXPECT_EQ(silent->droppedAudio, 1);
    silent->state = qv::RecordingState::finishing;
    silent->recordVideo(frameOf(8, 8), 2.0);
    EXPECT_EQ(silent->videoSamples + silent->droppedVideo, 1);
}

TEST(MovieEnlargement, EqualsConvertingThePictureEnlargedEightTimes) {
    const int w = 6;
    const int h = 4;
    const auto source = frameOf(w, h);
    const int W = w * 8;
    const int H = h * 8;
    std::vector<std::uint8_t> y(W * H), u(W * H / 4), v(W * H / 4), scratch(w * h * 3);
    std::uint8_t* const planes[3] = {y.data(), u.data(), v.data()};
    const int strides[3] = {W, W / 2, W / 2};
    qv::enlargeToI420(*source, planes, strides, scratch.data());

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
}

}  // namespace
