#pragma once

#include <sys/types.h>

#include <cstdint>

struct AVCodecContext;
struct AVFormatContext;
struct AVIOContext;
struct AVPacket;
struct AVStream;

namespace qv {

// One MP4 file written by FFmpeg's muxer through a descriptor the helper opened itself, so the file
// is never reached by path. Used from one thread at a time; results are FFmpeg error codes (< 0).
class Mp4Output {
public:
    // Takes over `fd`, a new empty seekable file, and closes it when destroyed. Throws
    // PlatformError("FFmpeg", code).
    explicit Mp4Output(int fd);
    ~Mp4Output();
    Mp4Output(const Mp4Output&) = delete;
    Mp4Output& operator=(const Mp4Output&) = delete;

    // Whether encoders must put their parameter sets in the stream's extradata.
    bool needsGlobalHeader() const;
    // A stream carrying what `encoder` makes, in the encoder's time base; null when it cannot be added.
    AVStream* addStream(const AVCodecContext* encoder, int& result);
    int writeHeader();
    int writePacket(AVPacket* packet);
    // Writes the index and flushes every byte to the descriptor.
    int writeTrailer();

    // The file's size now, read through the descriptor; -1 when it cannot be read.
    std::int64_t fileSize() const;
    // Sets the file's mode through the descriptor. Throws PlatformError("POSIX", errno).
    void setMode(mode_t mode);

private:
    void release();

    int fd_ = -1;
    AVFormatContext* format_ = nullptr;
    AVIOContext* io_ = nullptr;
};

}  // namespace qv
