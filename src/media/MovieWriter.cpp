#include "media/MovieWriter.h"

#include "media/MediaLibraries.h"
#include "base/Runtime.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <string_view>

namespace qv {

namespace {

// Small on purpose: a writer that falls behind makes the caller drop frames instead of queueing
// seconds of pictures.
constexpr int videoQueueCapacity = 3;
constexpr int audioQueueCapacity = 16;
constexpr AVRational videoTimeBase{1, 90000};
constexpr int ioBufferSize = 1 << 16;
// Audio that arrives later than this after the previous block leaves a gap filled with silence;
// smaller differences are clock jitter and the audio stays contiguous.
constexpr double audioGapTolerance = 0.05;
// A movie of one frame still shows it for one frame at 60 frames per second.
constexpr std::int64_t soleFrameDuration = 90000 / 60;

void configureVideo(AVCodecContext* c, const VideoSettings& settings) {
    c->width = settings.width;
    c->height = settings.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = videoTimeBase;
    // Capture rates vary; the nominal rate only guides rate control, timestamps rule the file.
    c->framerate = AVRational{60, 1};
    c->bit_rate = settings.averageBitRate;
    c->max_b_frames = 0;
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_primaries = AVCOL_PRI_SMPTE170M;
    c->color_trc = AVCOL_TRC_SMPTE170M;
    // Frame threads rather than the slice threads that zerolatency picks: a slice-threaded frame
    // ends in a join that leaves a core idle while this thread draws the next picture and encodes
    // audio, whereas frame threads keep both cores busy and cost less per frame. The price is a
    // delay of a few frames inside x264, which a file does not mind; x264 picks the count (1.5 ×
    // the cores).
    c->thread_type = FF_THREAD_FRAME;
    c->thread_count = 0;
}

void configureAudio(AVCodecContext* c, const AudioSettings& settings) {
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->sample_rate = settings.sampleRate;
    av_channel_layout_default(&c->ch_layout, settings.channels);
    c->bit_rate = settings.bitRate;
    c->time_base = AVRational{1, settings.sampleRate};
}

// Opens a configured encoder the one way every writer (and the warm-up) does.
int openCodec(AVCodecContext* c) {
    AVDictionary* options = nullptr;
    if (c->codec_type == AVMEDIA_TYPE_VIDEO) {
        // The fastest analysis suits pictures of flat 8 × 8 blocks: their edges are real, so no
        // deblocking; they move by whole pixels, so no sub-pixel search; a flat block's transform
        // is its DC alone, so the 4 × 4 transform loses nothing.
        av_dict_set(&options, "preset", "ultrafast", 0);
        av_dict_set(&options, "tune", "zerolatency", 0);
    }
    const int result = avcodec_open2(c, c->codec, &options);
    av_dict_free(&options);
    return result;
}

template <typename Configure>
void openAndClose(const char* name, Configure configure) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    AVCodecContext* context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (context == nullptr) return;
    configure(context);
    openCodec(context);
    avcodec_free_context(&context);
}

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

int YuvFrame::width() const {
    return frame_->width;
}
int YuvFrame::height() const {
    return frame_->height;
}
std::uint8_t* YuvFrame::plane(int index) {
    return frame_->data[index];
}
int YuvFrame::stride(int index) const {
    return frame_->linesize[index];
}

struct MovieWriter::Output {
    int fd = -1;
    AVFormatContext* format = nullptr;
    AVIOContext* io = nullptr;
    ~Output() {
        if (format != nullptr) avformat_free_context(format);
        if (io != nullptr) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
        if (fd >= 0) ::close(fd);
    }
};

struct MovieWriter::Encoder {
    AVCodecContext* context = nullptr;
    AVStream* stream = nullptr;
    AVPacket* packet = nullptr;
    // Video: the latest packet, held until the next one gives its duration.
    AVPacket* pending = nullptr;
    bool hasPending = false;
    std::int64_t lastDuration = 0;
    // Audio: PCM waits in the FIFO until a whole encoder frame is there.
    SwrContext* resampler = nullptr;
    AVAudioFifo* fifo = nullptr;
    AVFrame* frame = nullptr;
    std::int64_t fifoPts = -1;     // time of the FIFO's first sample, in samples
    std::vector<float> converted;  // one block in the encoder's planar format, reused
    int channels = 0;
    int sampleRate = 0;
    ~Encoder() {
        avcodec_free_context(&context);
        av_packet_free(&packet);
        av_packet_free(&pending);
        swr_free(&resampler);
        if (fifo != nullptr) av_audio_fifo_free(fifo);
        av_frame_free(&frame);
    }
};

MovieWriter::MovieWriter(int fd) : output_(std::make_unique<Output>()) {
    quietMediaLibraries();
    output_->fd = fd;
    int result = avformat_alloc_output_context2(&output_->format, nullptr, "mp4", nullptr);
    if (result < 0) throw PlatformError("FFmpeg", result);
    auto* buffer = static_cast<unsigned char*>(av_malloc(ioBufferSize));
    if (buffer == nullptr) throw PlatformError("FFmpeg", AVERROR(ENOMEM));
    output_->io = avio_alloc_context(buffer, ioBufferSize, 1, &output_->fd, nullptr, writeFile, seekFile);
    if (output_->io == nullptr) {
        av_free(buffer);
        throw PlatformError("FFmpeg", AVERROR(ENOMEM));
    }
    output_->format->pb = output_->io;
    output_->format->flags |= AVFMT_FLAG_CUSTOM_IO;
}

MovieWriter::~MovieWriter() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    wake_.notify_all();
    // The completion may drop the last reference on the writer's own thread.
    for (std::thread* thread : {&thread_, &lateCompletion_}) {
        if (!thread->joinable()) continue;
        if (thread->get_id() == std::this_thread::get_id()) {
            thread->detach();
        } else {
            thread->join();
        }
    }
}

void MovieWriter::fail(int code) {
    {
        std::lock_guard lock(mutex_);
        if (!error_) error_ = PlatformError("FFmpeg", code);
    }
    Status expected = status_.load();
    while ((expected == Status::configuring || expected == Status::writing) &&
           !status_.compare_exchange_weak(expected, Status::failed)) {
    }
}

std::optional<PlatformError> MovieWriter::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void MovieWriter::prepareEncoders() {
    quietMediaLibraries();
    static std::once_flag once;
    std::call_once(once, [] {
        openAndClose("libx264", [](AVCodecContext* c) { configureVideo(c, {16, 16, 1'000'000}); });
        openAndClose("aac", [](AVCodecContext* c) { configureAudio(c, {48'000, 1, 128'000}); });
    });
}

std::unique_ptr<MovieWriter::Encoder> MovieWriter::newEncoder(const char* name) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) {
        fail(AVERROR_ENCODER_NOT_FOUND);
        return nullptr;
    }
    auto encoder = std::make_unique<Encoder>();
    encoder->context = avcodec_alloc_context3(codec);
    encoder->packet = av_packet_alloc();
    encoder->pending = av_packet_alloc();
    encoder->frame = av_frame_alloc();
    if (encoder->context == nullptr || encoder->packet == nullptr || encoder->pending == nullptr ||
        encoder->frame == nullptr) {
        fail(AVERROR(ENOMEM));
        return nullptr;
    }
    if (output_->format->oformat->flags & AVFMT_GLOBALHEADER) {
        encoder->context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    return encoder;
}

bool MovieWriter::openEncoder(Encoder& encoder) {
    int result = openCodec(encoder.context);
    encoder.stream = result >= 0 ? avformat_new_stream(output_->format, nullptr) : nullptr;
    if (result >= 0 && encoder.stream == nullptr) result = AVERROR(ENOMEM);
    if (result >= 0) {
        encoder.stream->time_base = encoder.context->time_base;
        result = avcodec_parameters_from_context(encoder.stream->codecpar, encoder.context);
    }
    if (result < 0) fail(result);
    return result >= 0;
}

bool MovieWriter::addVideo(const VideoSettings& settings) {
    if (status_ != Status::configuring || video_ || settings.width <= 0 || settings.height <= 0 ||
        settings.width % 2 != 0 || settings.height % 2 != 0 || settings.averageBitRate <= 0) {
        return false;
    }
    auto encoder = newEncoder("libx264");
    if (!encoder) return false;
    configureVideo(encoder->context, settings);
    if (!openEncoder(*encoder)) return false;
    // One picture, drawn and sent on the writer's thread for every frame, so a long recording
    // allocates no picture memory.
    AVFrame* picture = encoder->frame;
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = settings.width;
    picture->height = settings.height;
    const int allocated = av_frame_get_buffer(picture, 0);
    if (allocated < 0) {
        fail(allocated);
        return false;
    }
    picture->color_range = AVCOL_RANGE_MPEG;
    picture->colorspace = AVCOL_SPC_SMPTE170M;
    video_ = std::move(encoder);
    return true;
}

bool MovieWriter::addAudio(const AudioSettings& settings) {
    if (status_ != Status::configuring || audio_ || settings.sampleRate <= 0 || settings.channels < 1 ||
        settings.channels > 2 || settings.bitRate <= 0) {
        return false;
    }
    auto encoder = newEncoder("aac");
    if (!encoder) return false;
    AVCodecContext* c = encoder->context;
    configureAudio(c, settings);
    if (!openEncoder(*encoder)) return false;
    int result =
        swr_alloc_set_opts2(&encoder->resampler, &c->ch_layout, AV_SAMPLE_FMT_FLTP, settings.sampleRate,
                            &c->ch_layout, AV_SAMPLE_FMT_S16, settings.sampleRate, 0, nullptr);
    if (result >= 0) result = swr_init(encoder->resampler);
    if (result < 0) {
        fail(result);
        return false;
    }
    encoder->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, settings.channels, c->frame_size * 2);
    if (encoder->fifo == nullptr) {
        fail(AVERROR(ENOMEM));
        return false;
    }
    encoder->channels = settings.channels;
    encoder->sampleRate = settings.sampleRate;
    audio_ = std::move(encoder);
    return true;
}

bool MovieWriter::startWriting() {
    if (status_ != Status::configuring || !video_) return false;
    const int result = avformat_write_header(output_->format, nullptr);
    if (result < 0) {
        fail(result);
        return false;
    }
    status_ = Status::writing;
    thread_ = std::thread([this] { run(); });
    return true;
}

void MovieWriter::startSession(double sourceTime) {
    if (!sessionStart_) sessionStart_ = sourceTime;
}

bool MovieWriter::isVideoReady() const {
    std::lock_guard lock(mutex_);
    return status_ == Status::writing && !videoFinished_ && !ending_ && queuedVideo_ < videoQueueCapacity;
}

bool MovieWriter::isAudioReady() const {
    std::lock_guard lock(mutex_);
    return audio_ && status_ == Status::writing && !audioFinished_ && !ending_ &&
           queuedAudio_ < audioQueueCapacity;
}

bool MovieWriter::appendVideo(VideoFill fill, double time) {
    if (!fill || !video_ || !sessionStart_ || time < *sessionStart_) return false;
    std::int64_t pts = std::llround((time - *sessionStart_) * videoTimeBase.den);
    // Distinct source times closer than one tick must still give rising timestamps.
    pts = std::max(pts, lastVideoPts_ + 1);
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::writing || videoFinished_ || ending_ || queuedVideo_ >= videoQueueCapacity) {
            return false;
        }
        items_.push_back(Item{Item::Kind::video, std::move(fill), pts, {}});
        ++queuedVideo_;
    }
    lastVideoPts_ = pts;
    wake_.notify_one();
    return true;
}

bool MovieWriter::appendAudio(const AudioSample& sample) {
    if (!audio_ || !sessionStart_ || sample.presentationTime < *sessionStart_) return false;
    if (sample.format.sampleRate != audio_->sampleRate || sample.format.channels != audio_->channels ||
        sample.samples.empty() || sample.samples.size() % static_cast<std::size_t>(audio_->channels) != 0) {
        return false;
    }
    const std::int64_t pts = std::llround((sample.presentationTime - *sessionStart_) * audio_->sampleRate);
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::writing || audioFinished_ || ending_ || queuedAudio_ >= audioQueueCapacity) {
            return false;
        }
        items_.push_back(Item{Item::Kind::audio, nullptr, pts, sample.samples});
        ++queuedAudio_;
    }
    wake_.notify_one();
    return true;
}

void MovieWriter::markVideoFinished() {
    std::lock_guard lock(mutex_);
    videoFinished_ = true;
}

void MovieWriter::markAudioFinished() {
    std::lock_guard lock(mutex_);
    audioFinished_ = true;
}

void MovieWriter::finish(std::function<void()> completion) {
    {
        std::lock_guard lock(mutex_);
        if (ending_) return;
        ending_ = true;
        if (thread_.joinable() && !cancelled_) {
            completion_ = std::move(completion);
            items_.push_back(Item{Item::Kind::end, nullptr, 0, {}});
            wake_.notify_one();
            return;
        }
    }
    // Never started, or cancelled: nothing to drain, but the completion still runs once, on
    // another thread.
    fail(AVERROR(EINVAL));
    lateCompletion_ = std::thread([done = std::move(completion)] {
        if (done) done();
    });
}

void MovieWriter::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    Status expected = status_.load();
    while ((expected == Status::configuring || expected == Status::writing) &&
           !status_.compare_exchange_weak(expected, Status::cancelled)) {
    }
    wake_.notify_one();
}

std::int64_t MovieWriter::fileSize() const {
    struct stat info {};
    return ::fstat(output_->fd, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

void MovieWriter::setMode(mode_t mode) {
    if (::fchmod(output_->fd, mode) != 0) throw PlatformError::posix(errno, "fchmod");
}

void MovieWriter::run() {
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return cancelled_ || !items_.empty(); });
            if (cancelled_ && !completion_) return;
            if (cancelled_) {
                items_.clear();
                queuedVideo_ = queuedAudio_ = 0;
                item.kind = Item::Kind::end;
            } else {
                item = std::move(items_.front());
                items_.pop_front();
            }
        }
        const bool working = status_ == Status::writing;
        if (item.kind == Item::Kind::end) {
            if (working) finishFile();
            std::function<void()> done;
            {
                std::lock_guard lock(mutex_);
                done = std::move(completion_);
            }
            // The completion may destroy the writer: nothing here touches it afterwards.
            if (done) done();
            return;
        }
        if (working && item.kind == Item::Kind::video) encodeVideo(item);
        if (working && item.kind == Item::Kind::audio) encodeAudio(item);
        item.fill = nullptr;  // lets go of the source picture it holds
        std::lock_guard lock(mutex_);
        if (item.kind == Item::Kind::video) --queuedVideo_;
        if (item.kind == Item::Kind::audio) --queuedAudio_;
    }
}

void MovieWriter::encodeVideo(Item& item) {
    AVFrame* frame = video_->frame;
    // The encoder lets go of the picture before it is drawn again, so this only copies if a
    // library change ever keeps one.
    const int writable = av_frame_make_writable(frame);
    if (writable < 0) return fail(writable);
    YuvFrame picture(frame);
    item.fill(picture);
    frame->pts = item.pts;
    const int result = avcodec_send_frame(video_->context, frame);
    if (result < 0) return fail(result);
    drain(*video_);
}

void MovieWriter::encodeAudio(Item& item) {
    Encoder& a = *audio_;
    const int count = static_cast<int>(item.pcm.size() / static_cast<std::size_t>(a.channels));
    if (a.fifoPts < 0) a.fifoPts = item.pts;
    const std::int64_t expected = a.fifoPts + av_audio_fifo_size(a.fifo);
    std::int64_t gap = item.pts - expected;
    if (gap > std::llround(audioGapTolerance * a.sampleRate)) {
        // Lost audio keeps its place on the timeline as silence.
        float silence[1024] = {};
        float* planes[2] = {silence, silence};
        while (gap > 0) {
            const int n = static_cast<int>(std::min<std::int64_t>(gap, 1024));
            if (av_audio_fifo_write(a.fifo, reinterpret_cast<void**>(planes), n) < n) {
                return fail(AVERROR(ENOMEM));
            }
            gap -= n;
            sendAudioFrames(false);
            if (status_ != Status::writing) return;
        }
    }
    if (av_audio_fifo_realloc(a.fifo, av_audio_fifo_size(a.fifo) + count) < 0) return fail(AVERROR(ENOMEM));
    std::vector<float>& converted = a.converted;
    converted.resize(static_cast<std::size_t>(count) * static_cast<std::size_t>(a.channels));
    std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(converted.data()),
                            reinterpret_cast<std::uint8_t*>(converted.data() + count)};
    const auto* in = reinterpret_cast<const std::uint8_t*>(item.pcm.data());
    const int made = swr_convert(a.resampler, out, count, &in, count);
    if (made < 0) return fail(made);
    if (av_audio_fifo_write(a.fifo, reinterpret_cast<void**>(out), made) < made) return fail(AVERROR(ENOMEM));
    sendAudioFrames(false);
}

void MovieWriter::sendAudioFrames(bool flush) {
    Encoder& a = *audio_;
    const int frameSize = a.context->frame_size;
    while (status_ == Status::writing &&
           (av_audio_fifo_size(a.fifo) >= frameSize || (flush && av_audio_fifo_size(a.fifo) > 0))) {
        const int n = std::min(frameSize, av_audio_fifo_size(a.fifo));
        av_frame_unref(a.frame);
        a.frame->nb_samples = n;
        a.frame->format = AV_SAMPLE_FMT_FLTP;
        a.frame->sample_rate = a.sampleRate;
        int result = av_channel_layout_copy(&a.frame->ch_layout, &a.context->ch_layout);
        if (result >= 0) result = av_frame_get_buffer(a.frame, 0);
        if (result < 0) return fail(result);
        if (av_audio_fifo_read(a.fifo, reinterpret_cast<void**>(a.frame->data), n) < n) {
            return fail(AVERROR(EIO));
        }
        a.frame->pts = a.fifoPts;
        a.fifoPts += n;
        result = avcodec_send_frame(a.context, a.frame);
        if (result < 0) return fail(result);
        drain(a);
    }
}

void MovieWriter::drain(Encoder& encoder) {
    for (;;) {
        const int result = avcodec_receive_packet(encoder.context, encoder.packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
        if (result < 0) return fail(result);
        av_packet_rescale_ts(encoder.packet, encoder.context->time_base, encoder.stream->time_base);
        encoder.packet->stream_index = encoder.stream->index;
        if (&encoder == video_.get()) {
            if (video_->hasPending) {
                const std::int64_t duration = encoder.packet->dts - video_->pending->dts;
                video_->pending->duration = duration;
                video_->lastDuration = duration;
                writeVideoPacket(false);
                if (status_ != Status::writing) return;
            }
            av_packet_move_ref(video_->pending, encoder.packet);
            video_->hasPending = true;
            continue;
        }
        if (encoder.packet->duration <= 0) encoder.packet->duration = encoder.context->frame_size;
        const int written = av_write_frame(output_->format, encoder.packet);
        av_packet_unref(encoder.packet);
        if (written < 0) return fail(written);
    }
}

void MovieWriter::writeVideoPacket(bool last) {
    Encoder& v = *video_;
    if (last) {
        v.pending->duration =
            v.lastDuration > 0 ? v.lastDuration
                               : std::max<std::int64_t>(
                                     1, av_rescale_q(soleFrameDuration, videoTimeBase, v.stream->time_base));
    }
    const int written = av_write_frame(output_->format, v.pending);
    av_packet_unref(v.pending);
    v.hasPending = false;
    if (written < 0) fail(written);
}

void MovieWriter::finishFile() {
    int result = avcodec_send_frame(video_->context, nullptr);
    if (result < 0) return fail(result);
    drain(*video_);
    if (status_ != Status::writing) return;
    if (video_->hasPending) {
        // The last frame lasts as long as the one before it.
        writeVideoPacket(true);
        if (status_ != Status::writing) return;
    }
    if (audio_) {
        if (audio_->fifoPts >= 0) sendAudioFrames(true);
        if (status_ != Status::writing) return;
        result = avcodec_send_frame(audio_->context, nullptr);
        if (result < 0) return fail(result);
        drain(*audio_);
        if (status_ != Status::writing) return;
    }
    result = av_write_trailer(output_->format);
    if (result < 0) return fail(result);
    avio_flush(output_->io);
    if (output_->io->error < 0) return fail(output_->io->error);
    Status expected = Status::writing;
    status_.compare_exchange_strong(expected, Status::completed);
}

}  // namespace qv
