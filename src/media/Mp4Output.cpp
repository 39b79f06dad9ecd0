#include "media/Mp4Output.h"

#include "base/CaptureError.h"
#include "base/Runtime.h"
#include "media/MediaLibraries.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace qv {

namespace {

constexpr int ioBufferSize = 1 << 16;

int writeFile(void* opaque, std::uint8_t* data, int size) {
    const int fd = *static_cast<int*>(opaque);
    const std::string_view bytes(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
    return writeAll(fd, bytes) ? size : AVERROR(errno);
}

std::int64_t seekFile(void* opaque, std::int64_t offset, int whence) {
    const int fd = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) return AVERROR(errno);
        return info.st_size;
    }
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

}  // namespace

Mp4Output::Mp4Output(int fd) : fd_(fd) {
    quietMediaLibraries();
    try {
        const int result = avformat_alloc_output_context2(&format_, nullptr, "mp4", nullptr);
        if (result < 0) throw PlatformError("FFmpeg", result);
        auto* buffer = static_cast<unsigned char*>(av_malloc(ioBufferSize));
        if (buffer == nullptr) throw PlatformError("FFmpeg", AVERROR(ENOMEM));
        io_ = avio_alloc_context(buffer, ioBufferSize, 1, &fd_, nullptr, writeFile, seekFile);
        if (io_ == nullptr) {
            av_free(buffer);
            throw PlatformError("FFmpeg", AVERROR(ENOMEM));
        }
        format_->pb = io_;
        format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    } catch (...) {
        release();
        throw;
    }
}

Mp4Output::~Mp4Output() {
    release();
}

void Mp4Output::release() {
    if (format_ != nullptr) avformat_free_context(format_);
    format_ = nullptr;
    if (io_ != nullptr) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Mp4Output::needsGlobalHeader() const {
    return (format_->oformat->flags & AVFMT_GLOBALHEADER) != 0;
}

AVStream* Mp4Output::addStream(const AVCodecContext* encoder, int& result) {
    AVStream* stream = avformat_new_stream(format_, nullptr);
    if (stream == nullptr) {
        result = AVERROR(ENOMEM);
        return nullptr;
    }
    stream->time_base = encoder->time_base;
    result = avcodec_parameters_from_context(stream->codecpar, encoder);
    return result < 0 ? nullptr : stream;
}

int Mp4Output::writeHeader() {
    return avformat_write_header(format_, nullptr);
}

int Mp4Output::writePacket(AVPacket* packet) {
    return av_write_frame(format_, packet);
}

int Mp4Output::writeTrailer() {
    const int result = av_write_trailer(format_);
    if (result < 0) return result;
    avio_flush(io_);
    return io_->error < 0 ? io_->error : 0;
}

std::int64_t Mp4Output::fileSize() const {
    struct stat info {};
    return ::fstat(fd_, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

void Mp4Output::setMode(mode_t mode) {
    if (::fchmod(fd_, mode) != 0) throw PlatformError::posix(errno, "fchmod");
}

}  // namespace qv
