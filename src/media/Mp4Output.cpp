#include "media/Mp4Output.h"

#include "base/CaptureError.h"
#include "media/MediaLibraries.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace qv {

namespace {

constexpr int ioBufferSize = 1 << 16;
// A stretch without video keyframes (a stalled camera while sound goes on) still reaches the file
// this often.
constexpr double longestFragment = 2.0;
constexpr std::size_t boxHeader = 8;

std::atomic<Mp4Output::FileWrite> fileWrite{nullptr};

int writeAt(int fd, const void* data, std::size_t size, off_t offset) {
    const Mp4Output::FileWrite call = fileWrite.load();
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = call != nullptr ? call(fd, bytes, size, offset) : ::pwrite(fd, bytes, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return AVERROR(errno);
        if (n == 0) return AVERROR(EIO);
        bytes += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return 0;
}

// The recording's bytes gather in memory until a whole fragment is there (see commit()).
int stage(void* opaque, std::uint8_t* data, int size) {
    static_cast<std::string*>(opaque)->append(reinterpret_cast<const char*>(data),
                                              static_cast<std::size_t>(size));
    return size;
}

// A seekable file written at explicit offsets: the plain MP4 of the finish.
struct PlainFile {
    int fd = -1;
    std::int64_t position = 0;
};

int writePlain(void* opaque, std::uint8_t* data, int size) {
    auto& file = *static_cast<PlainFile*>(opaque);
    const int result =
        writeAt(file.fd, data, static_cast<std::size_t>(size), static_cast<off_t>(file.position));
    if (result < 0) return result;
    file.position += size;
    return size;
}

std::int64_t fileEnd(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : AVERROR(errno);
}

std::int64_t seekPlain(void* opaque, std::int64_t offset, int whence) {
    auto& file = *static_cast<PlainFile*>(opaque);
    if (whence == AVSEEK_SIZE) return fileEnd(file.fd);
    whence &= ~AVSEEK_FORCE;
    if (whence == SEEK_SET) {
        file.position = offset;
    } else if (whence == SEEK_CUR) {
        file.position += offset;
    } else if (whence == SEEK_END) {
        const std::int64_t end = fileEnd(file.fd);
        if (end < 0) return end;
        file.position = end + offset;
    } else {
        return AVERROR(EINVAL);
    }
    return file.position;
}

int readFile(void* opaque, std::uint8_t* data, int size) {
    const int fd = *static_cast<int*>(opaque);
    for (;;) {
        const ssize_t n = ::read(fd, data, static_cast<std::size_t>(size));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return AVERROR(errno);
        return n == 0 ? AVERROR_EOF : static_cast<int>(n);
    }
}

std::int64_t seekFile(void* opaque, std::int64_t offset, int whence) {
    const int fd = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE) return fileEnd(fd);
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

AVIOContext* newIo(void* opaque, bool writing, int (*read)(void*, std::uint8_t*, int),
                   int (*write)(void*, std::uint8_t*, int), std::int64_t (*seek)(void*, std::int64_t, int)) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(ioBufferSize));
    if (buffer == nullptr) return nullptr;
    AVIOContext* io = avio_alloc_context(buffer, ioBufferSize, writing ? 1 : 0, opaque, read, write, seek);
    if (io == nullptr) av_free(buffer);
    return io;
}

void freeIo(AVIOContext*& io) {
    if (io == nullptr) return;
    av_freep(&io->buffer);
    avio_context_free(&io);
}

// Everything one copy holds, released on every path.
struct Copy {
    int from = -1;
    PlainFile to;
    AVIOContext* in = nullptr;
    AVIOContext* out = nullptr;
    AVFormatContext* input = nullptr;
    AVFormatContext* output = nullptr;
    AVPacket* packet = nullptr;
    std::vector<AVPacket*> held;
    ~Copy() {
        for (AVPacket* each : held) av_packet_free(&each);
        av_packet_free(&packet);
        avformat_close_input(&input);
        if (output != nullptr) avformat_free_context(output);
        freeIo(in);
        freeIo(out);
    }
};

// Copies every packet of the fragmented MP4 `from` into a plain MP4 at `to`, without re-encoding.
// Each track of the fragments starts at zero; the copy starts the video at zero and the audio
// `delay` (in `delayBase`) earlier, its encoder's delay, which the plain index hides with an edit,
// as in a file written plain from the start.
int copyPlain(int from, int to, std::int64_t delay, AVRational delayBase) {
    Copy copy;
    copy.from = from;
    copy.to.fd = to;
    copy.in = newIo(&copy.from, false, readFile, nullptr, seekFile);
    copy.out = newIo(&copy.to, true, nullptr, writePlain, seekPlain);
    copy.input = avformat_alloc_context();
    copy.packet = av_packet_alloc();
    if (copy.in == nullptr || copy.out == nullptr || copy.input == nullptr || copy.packet == nullptr) {
        return AVERROR(ENOMEM);
    }
    copy.input->pb = copy.in;
    copy.input->flags |= AVFMT_FLAG_CUSTOM_IO;
    int result = avformat_open_input(&copy.input, nullptr, av_find_input_format("mp4"), nullptr);
    if (result < 0) return result;
    result = avformat_alloc_output_context2(&copy.output, nullptr, "mp4", nullptr);
    if (result < 0) return result;
    copy.output->pb = copy.out;
    copy.output->flags |= AVFMT_FLAG_CUSTOM_IO;
    for (unsigned i = 0; i < copy.input->nb_streams; ++i) {
        const AVStream* source = copy.input->streams[i];
        AVStream* stream = avformat_new_stream(copy.output, nullptr);
        if (stream == nullptr) return AVERROR(ENOMEM);
        result = avcodec_parameters_copy(stream->codecpar, source->codecpar);
        if (result < 0) return result;
        stream->codecpar->codec_tag = 0;
        stream->time_base = source->time_base;
    }
    result = avformat_write_header(copy.output, nullptr);
    if (result < 0) return result;

    // Each stream's latest packet waits for the next one, which gives its duration: a fragmented
    // file does not carry every duration the way the plain index needs them.
    const std::size_t streams = copy.input->nb_streams;
    std::vector<std::int64_t> lastDuration(streams, 0);
    std::vector<std::int64_t> shift(streams, AV_NOPTS_VALUE);
    for (std::size_t i = 0; i < streams; ++i) {
        copy.held.push_back(av_packet_alloc());
        if (copy.held.back() == nullptr) return AVERROR(ENOMEM);
    }
    const auto release = [&](std::size_t index, std::int64_t nextDts) {
        AVPacket* held = copy.held[index];
        if (held->data == nullptr) return 0;
        if (nextDts != AV_NOPTS_VALUE && nextDts > held->dts) held->duration = nextDts - held->dts;
        if (held->duration <= 0) held->duration = lastDuration[index];
        lastDuration[index] = held->duration;
        return av_interleaved_write_frame(copy.output, held);
    };
    const auto send = [&](AVPacket* packet) {
        const auto index = static_cast<std::size_t>(packet->stream_index);
        const AVStream* stream = copy.input->streams[index];
        if (shift[index] == AV_NOPTS_VALUE) {
            shift[index] = packet->dts != AV_NOPTS_VALUE ? packet->dts : 0;
            if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && delay > 0) {
                shift[index] += av_rescale_q(delay, delayBase, stream->time_base);
            }
        }
        if (packet->pts != AV_NOPTS_VALUE) packet->pts -= shift[index];
        if (packet->dts != AV_NOPTS_VALUE) packet->dts -= shift[index];
        av_packet_rescale_ts(packet, stream->time_base, copy.output->streams[index]->time_base);
        const int released = release(index, packet->dts);
        if (released < 0) return released;
        av_packet_move_ref(copy.held[index], packet);
        return 0;
    };
    for (;;) {
        result = av_read_frame(copy.input, copy.packet);
        if (result == AVERROR_EOF) break;
        if (result < 0) return result;
        result = send(copy.packet);
        if (result < 0) return result;
    }
    for (std::size_t i = 0; i < streams; ++i) {
        result = release(i, AV_NOPTS_VALUE);
        if (result < 0) return result;
    }
    result = av_write_trailer(copy.output);
    if (result < 0) return result;
    avio_flush(copy.out);
    return copy.out->error < 0 ? copy.out->error : 0;
}

}  // namespace

void Mp4Output::setFileWrite(FileWrite write) {
    fileWrite = write;
}

Mp4Output::Mp4Output(int fd, int directoryFd, std::string name)
    : fd_(fd), directoryFd_(directoryFd), name_(std::move(name)) {
    quietMediaLibraries();
    try {
        const int result = avformat_alloc_output_context2(&format_, nullptr, "mp4", nullptr);
        if (result < 0) throw PlatformError("FFmpeg", result);
        // Not seekable: a fragmented file is only ever appended to.
        io_ = newIo(&staged_, true, nullptr, stage, nullptr);
        if (io_ == nullptr) throw PlatformError("FFmpeg", AVERROR(ENOMEM));
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
    freeIo(io_);
    for (int fd : {fd_.exchange(-1), std::exchange(replacedFd_, -1)}) {
        if (fd >= 0) ::close(fd);
    }
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
    if (encoder->codec_type == AVMEDIA_TYPE_AUDIO && encoder->initial_padding > 0) {
        delay_ = encoder->initial_padding;
        delayBase_ = AVRational{1, encoder->sample_rate};
    }
    result = avcodec_parameters_from_context(stream->codecpar, encoder);
    return result < 0 ? nullptr : stream;
}

int Mp4Output::writeHeader() {
    AVDictionary* options = nullptr;
    // Fragments are cut only where writePacket says; the header carries no samples.
    av_dict_set(&options, "movflags", "frag_custom+empty_moov+default_base_moof", 0);
    // The fragments carry no edit list: the audio's first packet, which comes the encoder's delay
    // before time zero, is moved to zero with the rest of its track (so the timestamps keep rising),
    // and the finish moves it back.
    format_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
    av_dict_set(&options, "use_editlist", "0", 0);
    const int result = avformat_write_header(format_, &options);
    av_dict_free(&options);
    if (result < 0) return result;
    // The header waits for the first fragment: a recording that never gets a frame leaves an empty
    // file, as it always has.
    avio_flush(io_);
    return io_->error < 0 ? io_->error : 0;
}

int Mp4Output::writePacket(AVPacket* packet) {
    if (writeFailed_) return AVERROR(EIO);
    const AVStream* stream = format_->streams[packet->stream_index];
    const double at =
        packet->dts != AV_NOPTS_VALUE ? static_cast<double>(packet->dts) * av_q2d(stream->time_base) : 0;
    const bool video = stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    // Sound that the encoders gave before the first picture stays with it.
    const bool keyframe = video && (packet->flags & AV_PKT_FLAG_KEY) && fragmentHasVideo_;
    if (pending_ > 0 && (keyframe || at - fragmentStart_ >= longestFragment)) {
        const int result = cutFragment();
        if (result < 0) return result;
    }
    if (pending_ == 0) {
        fragmentStart_ = at;
        fragmentHasVideo_ = false;
    }
    fragmentHasVideo_ = fragmentHasVideo_ || video;
    if (delay_ > 0) {
        const std::int64_t by = av_rescale_q(delay_, delayBase_, stream->time_base);
        if (packet->pts != AV_NOPTS_VALUE) packet->pts += by;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts += by;
    }
    const int size = packet->size;
    const int result = av_write_frame(format_, packet);
    if (result < 0) return result;
    pending_ += size;
    return 0;
}

int Mp4Output::cutFragment() {
    const int result = av_write_frame(format_, nullptr);
    return result < 0 ? result : flushStaged();
}

// Moves what the muxer has produced into the file as whole boxes.
int Mp4Output::flushStaged() {
    avio_flush(io_);
    if (io_->error < 0) return io_->error;
    const int result = commit();
    if (result < 0) return result;
    pending_ = 0;
    return 0;
}

// Puts the staged bytes (whole boxes) at the end of the file so that a reader never meets a part of
// them: they are written first under a "free" box that spans them all, which readers skip, and
// only then does the first box get its real header. A failed write is cut off again, so what stays
// ends with the last whole fragment.
int Mp4Output::commit() {
    if (staged_.empty()) return 0;
    const int fd = fd_.load();
    int result = 0;
    if (staged_.size() >= boxHeader && staged_.size() <= UINT32_MAX) {
        char real[boxHeader];
        std::memcpy(real, staged_.data(), boxHeader);
        const auto size = static_cast<std::uint32_t>(staged_.size());
        const char skipped[boxHeader] = {static_cast<char>(size >> 24),
                                         static_cast<char>(size >> 16),
                                         static_cast<char>(size >> 8),
                                         static_cast<char>(size),
                                         'f',
                                         'r',
                                         'e',
                                         'e'};
        std::memcpy(staged_.data(), skipped, boxHeader);
        result = writeAt(fd, staged_.data(), staged_.size(), static_cast<off_t>(committed_));
        if (result >= 0) result = writeAt(fd, real, boxHeader, static_cast<off_t>(committed_));
    } else {
        result = writeAt(fd, staged_.data(), staged_.size(), static_cast<off_t>(committed_));
    }
    if (result < 0) {
        // Shrinking needs no space, so this works on a full disk too; should it fail all the
        // same, the "free" header still hides the torn fragment from readers.
        [[maybe_unused]] const int cut = ::ftruncate(fd, static_cast<off_t>(committed_));
        writeFailed_ = true;
        return result;
    }
    committed_ += static_cast<std::int64_t>(staged_.size());
    staged_.clear();
    return 0;
}

int Mp4Output::finish() {
    if (writeFailed_) return AVERROR(EIO);
    int result = av_write_trailer(format_);
    if (result < 0) return result;
    result = flushStaged();
    if (result < 0) return result;

    // Read back through the descriptor it was written with: the name may no longer lead to it.
    const int from = fd_.load();
    if (::lseek(from, 0, SEEK_SET) != 0) return AVERROR(errno);
    const std::string temporary = name_ + ".tmp";
    const int to = ::openat(directoryFd_, temporary.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (to < 0) return AVERROR(errno);
    struct stat made {};
    if (::fstat(to, &made) != 0 || !S_ISREG(made.st_mode) || made.st_nlink != 1 ||
        made.st_uid != ::geteuid()) {
        result = AVERROR(EIO);
    } else {
        result = copyPlain(from, to, delay_, delayBase_);
    }
    // On disk before it takes the name, so the rename never replaces the fragments with less.
    if (result >= 0 && ::fdatasync(to) != 0) result = AVERROR(errno);
    if (result >= 0 && ::renameat(directoryFd_, temporary.c_str(), directoryFd_, name_.c_str()) != 0) {
        result = AVERROR(errno);
    }
    if (result < 0) {
        ::unlinkat(directoryFd_, temporary.c_str(), 0);
        ::close(to);
        return result;
    }
    // The plain file takes over the descriptor's number, which closes the fragmented copy (whose
    // space would stay taken while it is open) without a moment in which fileSize() could meet a
    // number that is closed or reused. Should that fail, the copy stays open until release().
    if (::dup3(to, from, O_CLOEXEC) == 0) {
        ::close(to);
    } else {
        replacedFd_ = fd_.exchange(to);
    }
    return 0;
}

std::int64_t Mp4Output::fileSize() const {
    struct stat info {};
    if (::fstat(fd_.load(), &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size) + pending_.load();
}

void Mp4Output::setMode(mode_t mode) {
    if (::fchmod(fd_.load(), mode) != 0) throw PlatformError::posix(errno, "fchmod");
}

}  // namespace qv
