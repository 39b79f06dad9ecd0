#include "StreamFacts.h"
#include "TestSupport.h"
#include "base/Semaphore.h"
#include "base/Uuid.h"
#include "files/OwnedFiles.h"
#include "media/Mp4Output.h"
#include "recording/Movie.h"
#include "recording/RecordingOutcome.h"

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>

namespace {

using qv::AudioFormat;
using qv::AudioSample;
using qv::Movie;
using qv::MovieWriter;
using qvtest::thrown;

qv::PixelBufferRef frameOf(int width, int height) {
    auto frame = qv::PixelBuffer::create(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int bgra[4] = {x * 7 + 3, y * 13, x * y + 40, 255};  // each taken modulo 256
            std::copy_n(bgra, 4, frame->row(y) + x * 4);
        }
    }
    return frame;
}

AudioSample tone(double time) {
    return AudioSample{{48000, 2}, std::vector<std::int16_t>(960), time};
}

// A disk that fills up or fails part-way: the first `whole` writes succeed, the next one writes half
// of its bytes, and every later one fails with `error`.
struct FailingDisk {
    static inline std::atomic<int> writesLeft{0}, failure{0};
    FailingDisk(int whole, int error) {
        failure = error;
        writesLeft = whole;
        qv::Mp4Output::setFileWrite([](int fd, const void* data, std::size_t size, off_t offset) -> ssize_t {
            const int left = writesLeft--;
            if (left > 0) return ::pwrite(fd, data, size, offset);
            if (left == 0 && size > 1) return ::pwrite(fd, data, size / 2, offset);
            errno = failure;
            return -1;
        });
    }
    ~FailingDisk() { qv::Mp4Output::setFileWrite(nullptr); }
};

class MovieTest : public ::testing::Test {
protected:
    qv::OwnedFiles files;
    std::shared_ptr<Movie> movie;

    std::shared_ptr<Movie> make(int width, int height, std::optional<AudioFormat> audio = std::nullopt,
                                std::string id = qv::randomUuid()) {
        return std::make_shared<Movie>(std::move(id), 10'000, files, frameOf(width, height), audio);
    }
    bool exists(const std::string& name) const {
        return std::filesystem::exists(std::filesystem::symlink_status(files.url() + "/" + name));
    }
    // Video packets in the file, or -1 when it cannot be read to its end.
    int videoPackets() {
        const auto streams = qvtest::readStreams(files.url() + "/" + movie->basename);
        return streams.empty() ? -1 : streams[0].packets;
    }

    // Records up to `seconds` of frames and sound into a fresh 16 × 16 movie with a mono microphone as
    // the engine does, waiting (bounded) for room; returns the error that ends the recording early.
    std::optional<qv::CaptureError> record(double seconds) {
        if (!movie) movie = make(16, 16, AudioFormat{48000, 1});
        auto frame = qv::PixelBuffer::create(16, 16);
        for (int i = 0; i < seconds * 60; ++i) {
            std::fill(frame->data(), frame->data() + frame->bytesPerRow() * 16, static_cast<std::uint8_t>(i));
            qvtest::waitUntil([&] {
                return movie->writer->isVideoReady() ||
                       movie->writer->status() != MovieWriter::Status::writing;
            });
            const double time = 50.0 + i / 60.0;
            if (auto failed = movie->recordVideo(frame, time)) return failed;
            if (auto failed = movie->recordAudio({{48000, 1}, std::vector<std::int16_t>(800, 1000), time})) {
                return failed;
            }
        }
        return std::nullopt;
    }

    // Ends the writer as the engine's finish does: finish a healthy writer, cancel a failed one.
    void finishWriter() {
        movie->writer->markVideoFinished();
        movie->writer->markAudioFinished();
        if (movie->writer->status() == MovieWriter::Status::failed) return movie->writer->cancel();
        qv::Semaphore done;
        movie->writer->finish([&] { done.signal(); });
        ASSERT_TRUE(done.wait(30));
    }

    std::int64_t bytes() { return files.metadata(movie->basename).bytes; }

    qv::RecordingOutcome outcome(qv::FinishReason reason, bool errorRecorded) {
        return qv::recordingOutcome({reason, false, true,
                                     movie->writer->status() == MovieWriter::Status::completed,
                                     movie->videoSamples, bytes(), errorRecorded});
    }
};

TEST_F(MovieTest, CreationChecksLeaveNoFileBehind) {
    const std::string id = qv::randomUuid();
    for (const auto& size : {std::pair{1, 2}, {514, 2}, {3, 4}, {512, 258}}) {
        EXPECT_EQ(thrown([&] { make(size.first, size.second, std::nullopt, id); }),
                  "FORMAT_UNSUPPORTED / H.264 capture requires bounded even dimensions")
            << size.first << "x" << size.second;
    }
    for (const AudioFormat format : {AudioFormat{7999, 1}, {192001, 2}, {48000, 3}, {48000, 0}}) {
        EXPECT_EQ(thrown([&] { make(16, 16, format, id); }),
                  "AUDIO_FORMAT_UNSUPPORTED / Only mono/stereo bounded native audio is supported")
            << format.sampleRate;
    }
    EXPECT_FALSE(exists("capture-" + id + ".mp4"));

    // A refused id is still free; a used one, in any case, is taken for good.
    std::string upper = id;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    movie = make(512, 256, AudioFormat{48000, 2}, upper);
    EXPECT_EQ(movie->basename, "capture-" + id + ".mp4");
    EXPECT_EQ(thrown([&] { make(8, 8, std::nullopt, id); }), "CAPTURE_EXISTS / Capture ID was already used");
    EXPECT_TRUE(exists(movie->basename));
}

TEST_F(MovieTest, TheFirstFrameStartsTheTimelineAndUnwritableSamplesAreDropped) {
    movie = make(8, 8, AudioFormat{48000, 2});
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
    const int w = 6, h = 4, W = w * 8, H = h * 8;
    const auto source = frameOf(w, h);
    // Each I420 picture in one buffer, its planes one after another.
    std::vector<std::uint8_t> got(W * H * 3 / 2), want(got.size()), scratch(w * h * 3), big(W * H * 4);
    std::uint8_t* const planes[3] = {got.data(), got.data() + W * H, got.data() + W * H * 5 / 4};
    const int strides[3] = {W, W / 2, W / 2};
    qv::enlargeToI420(*source, planes, strides, scratch.data());
    for (int i = 0; i < W * H; ++i) std::copy_n(source->row(i / W / 8) + i % W / 8 * 4, 4, &big[i * 4]);
    libyuv::ARGBToI420(big.data(), W * 4, want.data(), W, want.data() + W * H, W / 2,
                       want.data() + W * H * 5 / 4, W / 2, W, H);
    EXPECT_EQ(got, want);
}

// The first fragment (with the header) reaches the file, or nothing does; a torn fragment after it is
// cut off again, so that the file plays every whole fragment.
TEST_F(MovieTest, AFullOrFailingDiskWhileRecordingKeepsEveryWholeFragmentPlayable) {
    const struct {
        int whole, error;
        int packets;  // -1: an empty file
        qv::RecordingState state;
    } cases[] = {{2, ENOSPC, 60, qv::RecordingState::partial}, {0, EIO, -1, qv::RecordingState::failed}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        const FailingDisk disk(c.whole, c.error);
        movie = nullptr;
        const auto failed = record(8.0);
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->code(), "WRITER_FAILED");
        ASSERT_TRUE(movie->writer->error());
        EXPECT_EQ(movie->writer->error()->code(), AVERROR(c.error));
        finishWriter();
        EXPECT_EQ(videoPackets(), c.packets);
        EXPECT_EQ(bytes() == 0, c.packets < 0);
        const auto result = outcome(qv::FinishReason::error, true);
        EXPECT_EQ(result.state, c.state);
        EXPECT_FALSE(result.streamContinues);
    }
}

TEST_F(MovieTest, AFullDiskDuringTheFinishLeavesTheFragmentedFileWhole) {
    EXPECT_FALSE(record(2.5));
    {
        // The last fragment reaches the file; the plain copy beside it does not.
        const FailingDisk disk(2, ENOSPC);
        finishWriter();
    }
    EXPECT_EQ(movie->writer->status(), MovieWriter::Status::failed);
    EXPECT_EQ(movie->writer->error()->code(), AVERROR(ENOSPC));
    EXPECT_FALSE(exists(movie->basename + ".tmp"));
    EXPECT_EQ(videoPackets(), movie->videoSamples);
    const auto result = outcome(qv::FinishReason::stop, false);
    EXPECT_EQ(result.state, qv::RecordingState::partial);
    EXPECT_TRUE(result.streamContinues);
}

}  // namespace
