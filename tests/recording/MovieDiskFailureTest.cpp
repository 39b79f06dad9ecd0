#include "base/Semaphore.h"
#include "base/Uuid.h"
#include "files/OwnedFiles.h"
#include "media/Mp4Output.h"
#include "recording/Movie.h"
#include "recording/RecordingOutcome.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

using qv::Movie;
using qv::MovieWriter;

// A disk that fills up or fails part-way: the first `whole` writes succeed, the next one writes half
// of its bytes, and every later one fails with `error`.
std::atomic<int> writesLeft{0};
std::atomic<int> failure{0};

ssize_t failingWrite(int fd, const void* data, std::size_t size, off_t offset) {
    const int left = writesLeft--;
    if (left > 0) return ::pwrite(fd, data, size, offset);
    if (left == 0 && size > 1) return ::pwrite(fd, data, size / 2, offset);
    errno = failure;
    return -1;
}

struct FailingDisk {
    FailingDisk(int whole, int error) {
        failure = error;
        writesLeft = whole;
        qv::Mp4Output::setFileWrite(failingWrite);
    }
    ~FailingDisk() { qv::Mp4Output::setFileWrite(nullptr); }
};

// Video packets in the file, or -1 when it cannot be read to its end.
int videoPackets(const qv::OwnedFiles& files, const std::string& name) {
    const std::string path = files.url() + "/" + name;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return -1;
    int packets = 0;
    AVPacket* packet = av_packet_alloc();
    int result = 0;
    while ((result = av_read_frame(format, packet)) >= 0) {
        if (format->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) ++packets;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return result == AVERROR_EOF ? packets : -1;
}

class MovieDiskFailure : public ::testing::Test {
protected:
    qv::OwnedFiles files;
    std::shared_ptr<Movie> movie;

    void SetUp() override {
        auto frame = qv::PixelBuffer::create(16, 16);
        movie = std::make_shared<Movie>(qv::randomUuid(), 10'000, files, frame, qv::AudioFormat{48000, 1});
    }

    // Records up to `seconds` of frames and sound as the engine does, waiting (bounded) for room;
    // returns the error that ends the recording early, if any.
    std::optional<qv::CaptureError> record(double seconds) {
        auto frame = qv::PixelBuffer::create(16, 16);
        for (int i = 0; i < seconds * 60; ++i) {
            std::fill(frame->data(), frame->data() + frame->bytesPerRow() * 16, static_cast<std::uint8_t>(i));
            for (int wait = 0; wait < 5000 && !movie->writer->isVideoReady(); ++wait) {
                if (movie->writer->status() != MovieWriter::Status::writing) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
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
        if (movie->writer->status() == MovieWriter::Status::failed) {
            movie->writer->cancel();
            return;
        }
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

    bool exists(const std::string& name) const {
        struct stat info {};
        return ::fstatat(files.directoryFD(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    }
};

TEST_F(MovieDiskFailure, AFullDiskWhileRecordingKeepsEveryWholeFragmentPlayable) {
    const FailingDisk disk(2, ENOSPC);  // the first fragment (with the header) reaches the file
    const auto failed = record(8.0);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->code(), "WRITER_FAILED");
    ASSERT_TRUE(movie->writer->error());
    EXPECT_EQ(movie->writer->error()->code(), AVERROR(ENOSPC));
    finishWriter();
    // The torn second fragment is cut off again: the file plays its first second, all of it.
    EXPECT_EQ(videoPackets(files, movie->basename), 60);
    const auto result = outcome(qv::FinishReason::error, true);
    EXPECT_EQ(result.state, qv::RecordingState::partial);
    EXPECT_FALSE(result.streamContinues);
}

TEST_F(MovieDiskFailure, AFailingDiskBeforeAnyFragmentLeavesAnEmptyFailedFile) {
    const FailingDisk disk(0, EIO);
    const auto failed = record(8.0);
    ASSERT_TRUE(failed);
    EXPECT_EQ(movie->writer->error()->code(), AVERROR(EIO));
    finishWriter();
    EXPECT_EQ(bytes(), 0);
    EXPECT_EQ(outcome(qv::FinishReason::error, true).state, qv::RecordingState::failed);
}

TEST_F(MovieDiskFailure, AFullDiskDuringTheFinishLeavesTheFragmentedFileWhole) {
    EXPECT_FALSE(record(2.5));
    {
        // The last fragment reaches the file; the plain copy beside it does not.
        const FailingDisk disk(2, ENOSPC);
        finishWriter();
    }
    EXPECT_EQ(movie->writer->status(), MovieWriter::Status::failed);
    EXPECT_EQ(movie->writer->error()->code(), AVERROR(ENOSPC));
    EXPECT_FALSE(exists(movie->basename + ".tmp"));
    EXPECT_EQ(videoPackets(files, movie->basename), movie->videoSamples);
    const auto result = outcome(qv::FinishReason::stop, false);
    EXPECT_EQ(result.state, qv::RecordingState::partial);
    EXPECT_TRUE(result.streamContinues);
}

}  // namespace
