#include "StreamFacts.h"
#include "SyncMarks.h"
#include "TestSupport.h"
#include "base/Semaphore.h"
#include "media/MovieWriter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

namespace {

using qv::MovieWriter;

// Descriptors of this process that hold a regular file no name leads to any more: its disk space
// stays taken until they close.
int filesHeldDeleted() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 0) ++count;
    }
    return count;
}

// A writer of a 32 × 32 picture and stereo sound into a fresh file, its session begun at 100 s.
struct StartedWriter {
    qvtest::TempDir dir;
    std::string name = dir.path() + "/movie.mp4";
    int directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    MovieWriter writer{::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600), directory,
                       "movie.mp4"};
    bool ok = start();

    ~StartedWriter() { ::close(directory); }
    bool start() {
        qv::VideoSettings video;
        video.width = video.height = 32;
        video.averageBitRate = 500'000;
        video.preset = "ultrafast";
        if (!writer.addVideo(video) || !writer.addAudio({48000, 2, 128'000}) || !writer.startWriting()) {
            return false;
        }
        writer.startSession(100.0);
        return true;
    }
    // Ends both tracks and waits for the file to be finished: whether it was completed.
    bool finish() {
        qv::Semaphore done;
        writer.markVideoFinished();
        writer.markAudioFinished();
        writer.finish([&] { done.signal(); });
        return done.wait(30) && writer.status() == MovieWriter::Status::completed;
    }
};

// A writer held up by a slow picture still takes a second of sound, and no more.
TEST(MovieWriter, HeldUpByAPictureItKeepsASecondOfSound) {
    StartedWriter started;
    ASSERT_TRUE(started.ok);
    MovieWriter& writer = started.writer;
    qv::Semaphore drawing, release;
    ASSERT_TRUE(writer.appendVideo(
        [&](qv::YuvFrame&) {
            drawing.signal();
            release.wait(30);
        },
        100.0));
    ASSERT_TRUE(drawing.wait(30));
    int taken = 0;
    for (int i = 0; i < 150 && writer.isAudioReady(); ++i) {
        taken += writer.appendAudio({{48000, 2}, std::vector<std::int16_t>(960, 100), 100.0 + i / 100.0});
    }
    EXPECT_EQ(taken, 100);
    release.signal();
    EXPECT_TRUE(started.finish());
}

// What the file checks of the recording tests cannot see: where the writer draws frames, how it fills
// an audio gap, that every packet is timed, and how its completion arrives.
TEST(MovieWriter, TimesEveryPacketFillsAudioGapsDrawsOnItsThreadAndCompletesOnceElsewhere) {
    StartedWriter started;
    ASSERT_TRUE(started.ok);
    MovieWriter& writer = started.writer;
    const auto caller = std::this_thread::get_id();
    std::atomic<int> drawnElsewhere{0};
    const auto draw = [&](int i) {
        return [&, i](qv::YuvFrame& frame) {
            if (std::this_thread::get_id() != caller) ++drawnElsewhere;
            std::memset(frame.plane(0), i * 4, static_cast<std::size_t>(frame.stride(0)));
        };
    };
    EXPECT_FALSE(writer.appendVideo(draw(0), 99.5));  // before time zero
    for (int i = 0; i < 60; ++i) {
        const double time = 100.0 + i / 60.0;
        // As the recorder does: waits (bounded) for room, then appends.
        ASSERT_TRUE(qvtest::waitUntil([&] { return writer.isVideoReady(); }));
        ASSERT_TRUE(writer.appendVideo(draw(i), time));
        if (i >= 20 && i < 35) continue;  // a quarter second of sound lost
        qv::AudioSample sample{{48000, 2}, std::vector<std::int16_t>(1600, 100), time};
        ASSERT_TRUE(qvtest::waitUntil([&] { return writer.isAudioReady(); }));
        ASSERT_TRUE(writer.appendAudio(sample));
    }

    qv::Semaphore done;
    std::atomic<int> calls{0};
    std::atomic<bool> otherThread{false};
    writer.markVideoFinished();
    writer.markAudioFinished();
    writer.finish([&] {
        otherThread = std::this_thread::get_id() != caller;
        ++calls;
        done.signal();
    });
    ASSERT_TRUE(done.wait(30));
    writer.finish([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(otherThread);
    EXPECT_EQ(writer.status(), MovieWriter::Status::completed);
    EXPECT_EQ(drawnElsewhere, 60);
    // The fragmented copy the plain file replaced is let go of with the finish, not with the writer.
    EXPECT_EQ(filesHeldDeleted(), 0);

    const auto streams = qvtest::readStreams(started.name);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].packets, 60);
    EXPECT_TRUE(streams[0].risingAndTimed);
    EXPECT_TRUE(streams[1].risingAndTimed);
    // 48,000 samples in all (the gap as silence) make 46.9 frames of 1,024; the partial one too.
    EXPECT_GE(streams[1].packets, 47);
}

// Sound that begins a few milliseconds into the file, halfway through a sync burst, as a capture
// started at any moment does: what comes before it is lead-in, not a silence in the sound (though the
// encoder spreads a little of the sound back into it), and the cut burst is no mark. The next burst
// lands on its white frame.
TEST(MovieWriter, SoundBegunLateAndMidBurstKeepsItsMarksAndHasNoSilence) {
    for (const double lead : {0.004, 0.007, 0.008}) {
        SCOPED_TRACE(lead);
        StartedWriter started;
        ASSERT_TRUE(started.ok);
        MovieWriter& writer = started.writer;
        // Sample n is heard at 100 s + lead + n / 48,000; bursts begin 10 ms before the sound and at 101 s.
        const auto sound = [lead](std::int64_t n) {
            const double at = lead + static_cast<double>(n) / 48000;
            for (const double burst : {lead - 0.01, 1.0}) {
                if (at >= burst && at < burst + 0.03) return 24000 * std::sin(2 * M_PI * 1000 * (at - burst));
            }
            return 8000 * std::sin(2 * M_PI * 440 * at);
        };
        int frame = 0;
        for (std::int64_t piece = 0; piece < 130; ++piece) {
            qv::AudioSample sample{{48000, 2}, {}, 100.0 + lead + static_cast<double>(piece) / 100};
            for (std::int64_t n = piece * 480; n < (piece + 1) * 480; ++n) {
                const auto value = static_cast<std::int16_t>(std::lround(sound(n)));
                sample.samples.insert(sample.samples.end(), {value, value});
            }
            for (; 100.0 + frame / 60.0 <= sample.presentationTime; ++frame) {
                const int luma = frame == 60 ? 235 : 60;
                ASSERT_TRUE(qvtest::waitUntil([&] { return writer.isVideoReady(); }));
                ASSERT_TRUE(writer.appendVideo(
                    [luma](qv::YuvFrame& picture) {
                        std::memset(picture.plane(0), luma, static_cast<std::size_t>(picture.stride(0)) * 32);
                        for (int plane = 1; plane < 3; ++plane)
                            std::memset(picture.plane(plane), 128,
                                        static_cast<std::size_t>(picture.stride(plane)) * 16);
                    },
                    100.0 + frame / 60.0));
            }
            ASSERT_TRUE(qvtest::waitUntil([&] { return writer.isAudioReady(); }));
            ASSERT_TRUE(writer.appendAudio(std::move(sample)));
        }
        ASSERT_TRUE(started.finish());

        const qvtest::SyncMarks marks = qvtest::readSyncMarks(started.name);
        ASSERT_TRUE(marks.readable);
        EXPECT_NEAR(marks.audioStart, lead, 0.001);
        EXPECT_LT(marks.longestSilence, 0.001);
        ASSERT_EQ(marks.bursts.size(), 1u);
        ASSERT_EQ(marks.whiteFrames.size(), 1u);
        EXPECT_NEAR(marks.offsets(1.0).front(), 0, 0.001);
    }
}

}  // namespace
