#pragma once

#include <sys/types.h>

extern "C" {
#include <libavutil/rational.h>
}

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

struct AVCodecContext;
struct AVFormatContext;
struct AVIOContext;
struct AVPacket;
struct AVStream;

namespace qv {

// One MP4 file written by FFmpeg's muxer through a descriptor the helper opened itself, so the file
// is never reached by path.
//
// While recording the file is a fragmented MP4 that is playable up to its last fragment at every
// moment: a fragment is cut before every video keyframe (and after two seconds of anything else),
// and each reaches the file whole or not at all. Finishing replaces it with an ordinary MP4 of the
// same packets, made beside it in the same directory and renamed over it, so a finished recording is
// a plain file and an unfinished one is still the playable fragmented file under the same name.
//
// Used from one thread at a time, except fileSize(); results are FFmpeg error codes (< 0).
class Mp4Output {
public:
    // Takes over `fd`, the new empty file `name` open for reading and writing in the directory open
    // as `directoryFd` (which stays the caller's), and closes it when destroyed. Throws
    // PlatformError("FFmpeg", code).
    Mp4Output(int fd, int directoryFd, std::string name);
    ~Mp4Output();
    Mp4Output(const Mp4Output&) = delete;
    Mp4Output& operator=(const Mp4Output&) = delete;

    // Whether encoders must put their parameter sets in the stream's extradata.
    bool needsGlobalHeader() const;
    // A stream carrying what `encoder` makes, in the encoder's time base; null when it cannot be added.
    AVStream* addStream(const AVCodecContext* encoder, int& result);
    int writeHeader();
    int writePacket(AVPacket* packet);
    // Ends the fragmented file, then copies its packets into a plain MP4 that takes its name and its
    // descriptor; the fragmented file is closed. On a failure the fragmented file stays, with every
    // fragment that reached it.
    int finish();

    // The bytes the file holds now plus those waiting in the current fragment; -1 when it cannot be
    // read. Safe from any thread.
    std::int64_t fileSize() const;
    // Sets the file's mode through the descriptor. Throws PlatformError("POSIX", errno).
    void setMode(mode_t mode);

    // Every byte of an output reaches its file through this call, with pwrite's contract. Tests
    // replace it to make a write fail part-way; null restores pwrite.
    using FileWrite = ssize_t (*)(int fd, const void* data, std::size_t size, off_t offset);
    static void setFileWrite(FileWrite write);

private:
    void release();
    int cutFragment();
    int flushStaged();
    int commit();

    std::atomic<int> fd_{-1};
    // The fragmented file's descriptor once the plain file has taken its name, when its number could
    // not be handed to the plain file.
    int replacedFd_ = -1;
    int directoryFd_ = -1;
    std::string name_;
    AVFormatContext* format_ = nullptr;
    AVIOContext* io_ = nullptr;
    // Bytes the muxer produced that are not in the file yet, and where they will go.
    std::string staged_;
    std::int64_t committed_ = 0;
    std::atomic<std::int64_t> pending_{0};
    double fragmentStart_ = -1;
    bool fragmentHasVideo_ = false;
    // The audio encoder's delay (its first packet comes this much before time zero).
    std::int64_t delay_ = 0;
    AVRational delayBase_{0, 1};
    bool writeFailed_ = false;
};

}  // namespace qv
