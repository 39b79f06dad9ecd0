#include "platform/MediaDuration.h"
#include "platform/MovieWriter.h"
#include "platform/Semaphore.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

namespace {

using qv::MovieWriter;

struct TempFile {
    std::string path;
    TempFile() {
        char name[] = "/tmp/movie-writer-test-XXXXXX";
        const int fd = ::mkstemp(name);
        ::close(fd);
        path = name;
    }
    ~TempFile() { ::unlink(path.c_str()); }
    int openWrite() const { return ::open(path.c_str(), O_RDWR | O_TRUNC | O_CLOEXEC); }
};

void fillFrame(qv::YuvFrame& frame, int value) {
    for (int p = 0; p < 3; ++p) {
        const int rows = p == 0 ? frame.height() : frame.height() / 2;
        const int bytes = p == 0 ? frame.width() : frame.width() / 2;
        for (int y = 0; y < rows; ++y) std::memset(frame.plane(p) + y * frame.stride(p), value, bytes);
    }
}

// Appends as the recorder does: waits (bounded) for room, then appends.
bool appendWhenReady(MovieWriter& writer, bool video, const std::function<bool()>& append) {
    for (int i = 0; i < 10000; ++i) {
        if (video ? writer.isVideoReady() : writer.isAudioReady()) return append();
        if (writer.status() != MovieWriter::Status::writing) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool finishAndWait(MovieWriter& writer, std::atomic<int>& calls) {
    qv::Semaphore done;
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> otherThread{false};
    writer.markVideoFinished();
    writer.markAudioFinished();
    writer.finish([&] {
        otherThread = std::this_thread::get_id() != caller;
        ++calls;
        done.signal();
    });
    return done.wait(30) && otherThread;
}

struct StreamFacts {
    int codec = 0;
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
    int packets = 0;
    bool risingAndTimed = true;
};

std::vector<StreamFacts> readStreams(const std::string& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return {};
    avformat_find_stream_info(format, nullptr);
    std::vector<StreamFacts> facts(format->nb_streams);
    std::vector<std::int64_t> last(format->nb_streams, INT64_MIN);
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters* p = format->streams[i]->codecpar;
        facts[i] = {static_cast<int>(p->codec_id), p->width, p->height, p->sample_rate,
                    p->ch_layout.nb_channels};
    }
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(format, packet) >= 0) {
        StreamFacts& f = facts[static_cast<std::size_t>(packet->stream_index)];
        ++f.packets;
        if (packet->duration <= 0 || packet->dts <= last[packet->stream_index]) f.risingAndTimed = false;
        last[packet->stream_index] = packet->dts;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return facts;
}

TEST(MovieWriter, WritesVideoFromTheSessionStart) {
    TempFile file;
    MovieWriter writer(file.openWrite());
    ASSERT_TRUE(writer.addVideo({64, 48, 1'000'000}));
    EXPECT_FALSE(writer.isVideoReady());
    ASSERT_TRUE(writer.startWriting());
    writer.startSession(100.0);
    // Before time zero nothing is accepted.
    EXPECT_FALSE(writer.appendVideo(writer.makeVideoFrame(), 99.5));
    // Odd frames are drawn by the writer: on its own thread, never the caller's.
    std::atomic<int> drawnElsewhere{0};
    const auto caller = std::this_thread::get_id();
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(appendWhenReady(writer, true, [&] {
            const double time = 100.0 + i / 30.0;
            if (i % 2 == 1) {
                return writer.appendVideo(
                    [&, i](qv::YuvFrame& frame) {
                        if (std::this_thread::get_id() != caller) ++drawnElsewhere;
                        fillFrame(frame, 16 + i * 4);
                    },
                    time);
            }
            auto frame = writer.makeVideoFrame();
            if (!frame) return false;
            fillFrame(*frame, 16 + i * 4);
            return writer.appendVideo(frame, time);
        }));
    }
    std::atomic<int> calls{0};
    ASSERT_TRUE(finishAndWait(writer, calls));
    EXPECT_EQ(writer.status(), MovieWriter::Status::completed);
    EXPECT_EQ(drawnElsewhere, 15);
    writer.finish([&] { ++calls; });
    EXPECT_EQ(calls, 1);

    const auto streams = readStreams(file.path);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].codec, AV_CODEC_ID_H264);
    EXPECT_EQ(streams[0].width, 64);
    EXPECT_EQ(streams[0].packets, 30);
    EXPECT_TRUE(streams[0].risingAndTimed);
    const int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_NEAR(qv::containerDurationSeconds(fd), 1.0, 0.01);
    ::close(fd);
}

TEST(MovieWriter, AudioKeepsItsTimelineAcrossGapsAndFlushesTheLastFrame) {
    TempFile file;
    MovieWriter writer(file.openWrite());
    ASSERT_TRUE(writer.addVideo({32, 32, 500'000}));
    ASSERT_TRUE(writer.addAudio({48000, 2, 128'000}));
    EXPECT_FALSE(writer.addAudio({48000, 2, 128'000}));
    ASSERT_TRUE(writer.startWriting());
    writer.startSession(0);
    qv::AudioSample wrongRate{{44100, 2}, std::vector<std::int16_t>(200), 0.0};
    EXPECT_FALSE(writer.appendAudio(wrongRate));
    int blocks = 0;
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(appendWhenReady(writer, true, [&] {
            auto frame = writer.makeVideoFrame();
            return frame && writer.appendVideo(frame, i / 60.0);
        }));
        // 1/60 s of stereo tone, with a quarter second lost in the middle.
        if (i >= 20 && i < 35) continue;
        qv::AudioSample sample{{48000, 2}, std::vector<std::int16_t>(1600), i / 60.0};
        for (std::size_t k = 0; k < sample.samples.size(); ++k)
            sample.samples[k] = static_cast<std::int16_t>(k);
        ASSERT_TRUE(appendWhenReady(writer, false, [&] { return writer.appendAudio(sample); }));
        ++blocks;
    }
    std::atomic<int> calls{0};
    ASSERT_TRUE(finishAndWait(writer, calls));
    ASSERT_EQ(writer.status(), MovieWriter::Status::completed);

    const auto streams = readStreams(file.path);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[1].codec, AV_CODEC_ID_AAC);
    EXPECT_EQ(streams[1].sampleRate, 48000);
    EXPECT_EQ(streams[1].channels, 2);
    EXPECT_TRUE(streams[0].risingAndTimed);
    EXPECT_TRUE(streams[1].risingAndTimed);
    // 48,000 samples in all (the gap as silence) make 46.9 frames of 1,024; the partial one
    // is written too.
    EXPECT_GE(streams[1].packets, 47);
    const int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_NEAR(qv::containerDurationSeconds(fd), 1.0, 0.03);
    ::close(fd);
}

TEST(MovieWriter, AHeaderThatCannotBeWrittenDoesNotStart) {
    MovieWriter writer(::open("/dev/full", O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(writer.addVideo({64, 64, 8'000'000}));
    EXPECT_FALSE(writer.startWriting());
    ASSERT_TRUE(writer.error().has_value());
    EXPECT_EQ(writer.error()->domain(), "FFmpeg");
    EXPECT_EQ(writer.status(), MovieWriter::Status::failed);
}

TEST(MovieWriter, AWriteFailureFailsTheWriterWithTheLibraryError) {
    // Nobody reads the pipe: once its buffer is full every write fails.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    MovieWriter writer(ends[1]);
    ASSERT_TRUE(writer.addVideo({64, 64, 8'000'000}));
    ASSERT_TRUE(writer.startWriting());
    writer.startSession(0);
    // Noise does not compress, so the output buffer soon reaches the full device.
    unsigned seed = 1;
    for (int i = 0; i < 2000 && writer.status() == MovieWriter::Status::writing; ++i) {
        appendWhenReady(writer, true, [&] {
            auto frame = writer.makeVideoFrame();
            if (!frame) return false;
            for (int y = 0; y < 64; ++y) {
                for (int x = 0; x < 64; ++x)
                    frame->plane(0)[y * frame->stride(0) + x] = static_cast<std::uint8_t>(rand_r(&seed));
            }
            return writer.appendVideo(frame, i / 30.0);
        });
    }
    std::atomic<int> calls{0};
    ASSERT_TRUE(finishAndWait(writer, calls));
    EXPECT_EQ(writer.status(), MovieWriter::Status::failed);
    ASSERT_TRUE(writer.error().has_value());
    EXPECT_EQ(writer.error()->domain(), "FFmpeg");
    EXPECT_LT(writer.error()->code(), 0);
    EXPECT_FALSE(writer.isVideoReady());
    EXPECT_EQ(calls, 1);
    ::close(ends[0]);
}

TEST(MovieWriter, FinishWithoutWritingStillCompletesOnceElsewhere) {
    TempFile file;
    MovieWriter writer(file.openWrite());
    std::atomic<int> calls{0};
    ASSERT_TRUE(finishAndWait(writer, calls));
    EXPECT_EQ(writer.status(), MovieWriter::Status::failed);
    EXPECT_FALSE(writer.addVideo({64, 64, 1'000'000}));
}

TEST(MovieWriter, CancelStopsWritingAndAPendingFinishStillCompletes) {
    TempFile file;
    MovieWriter writer(file.openWrite());
    ASSERT_TRUE(writer.addVideo({16, 16, 100'000}));
    EXPECT_FALSE(writer.addVideo({16, 16, 100'000}));
    ASSERT_TRUE(writer.startWriting());
    writer.startSession(0);
    writer.cancel();
    EXPECT_EQ(writer.status(), MovieWriter::Status::cancelled);
    EXPECT_FALSE(writer.appendVideo(writer.makeVideoFrame(), 1.0));
    std::atomic<int> calls{0};
    ASSERT_TRUE(finishAndWait(writer, calls));
    EXPECT_EQ(writer.status(), MovieWriter::Status::cancelled);
}

TEST(MovieWriter, ThePoolRunsOutRatherThanAllocating) {
    TempFile file;
    MovieWriter writer(file.openWrite());
    ASSERT_TRUE(writer.addVideo({16, 16, 100'000}));
    std::vector<qv::YuvFrameRef> held;
    while (auto frame = writer.makeVideoFrame()) {
        held.push_back(frame);
        ASSERT_LT(held.size(), 100u);
    }
    EXPECT_GE(held.size(), 2u);
    held.pop_back();
    EXPECT_NE(writer.makeVideoFrame(), nullptr);
}

}  // namespace
