#include "media/MediaDuration.h"

#include "base/CaptureError.h"
#include "media/MediaLibraries.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>

namespace qv {

namespace {

struct Source {
    int fd;
    std::int64_t position = 0;
};

int readSource(void* opaque, std::uint8_t* buffer, int size) {
    auto* source = static_cast<Source*>(opaque);
    for (;;) {
        const ssize_t n = ::pread(source->fd, buffer, static_cast<size_t>(size), source->position);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return AVERROR(errno);
        if (n == 0) return AVERROR_EOF;
        source->position += n;
        return static_cast<int>(n);
    }
}

std::int64_t seekSource(void* opaque, std::int64_t offset, int whence) {
    auto* source = static_cast<Source*>(opaque);
    struct stat info {};
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            if (::fstat(source->fd, &info) != 0) return AVERROR(errno);
            return info.st_size;
        case SEEK_SET:
            source->position = offset;
            break;
        case SEEK_CUR:
            source->position += offset;
            break;
        case SEEK_END:
            if (::fstat(source->fd, &info) != 0) return AVERROR(errno);
            source->position = info.st_size + offset;
            break;
        default:
            return AVERROR(EINVAL);
    }
    return source->position;
}

}  // namespace

double containerDurationSeconds(int fd) {
    constexpr int bufferSize = 1 << 16;
    quietMediaLibraries();
    Source source{fd};
    auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
    if (buffer == nullptr) throw PlatformError("FFmpeg", AVERROR(ENOMEM));
    AVIOContext* io = avio_alloc_context(buffer, bufferSize, 0, &source, readSource, nullptr, seekSource);
    AVFormatContext* format = io != nullptr ? avformat_alloc_context() : nullptr;
    int result = AVERROR(ENOMEM);
    if (format != nullptr) {
        format->pb = io;
        format->flags |= AVFMT_FLAG_CUSTOM_IO;
        // On failure avformat_open_input frees the context itself.
        result = avformat_open_input(&format, nullptr, nullptr, nullptr);
    }
    if (result >= 0) result = avformat_find_stream_info(format, nullptr);
    double seconds = NAN;
    if (result >= 0 && format->duration != AV_NOPTS_VALUE) {
        seconds = static_cast<double>(format->duration) / AV_TIME_BASE;
    }
    avformat_close_input(&format);
    if (io != nullptr) {
        av_freep(&io->buffer);
        avio_context_free(&io);
    } else {
        av_free(buffer);
    }
    if (result < 0) throw PlatformError("FFmpeg", result);
    return seconds;
}

}  // namespace qv
