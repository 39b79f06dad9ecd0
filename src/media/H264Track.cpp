#include "media/H264Track.h"

#include "media/MediaLibraries.h"
#include "media/Mp4Output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cerrno>
#include <string>

namespace qv {

namespace {

constexpr AVRational timeBase{1, H264Track::timeScale};
// A movie of one frame still shows it for one frame at 60 frames per second.
constexpr std::int64_t soleFrameDuration = H264Track::timeScale / 60;

void configure(AVCodecContext* c, const VideoSettings& settings) {
    c->width = settings.width;
    c->height = settings.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = timeBase;
    c->framerate = AVRational{settings.nominalFrameRate, 1};
    c->bit_rate = settings.averageBitRate;
    c->max_b_frames = 0;
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_primaries = AVCOL_PRI_SMPTE170M;
    c->color_trc = AVCOL_TRC_SMPTE170M;
    if (settings.frameThreads) c->thread_type = FF_THREAD_FRAME;
    c->thread_count = settings.threads;
}

// Opens a configured encoder the one way every track (and the warm-up) does.
int openEncoder(AVCodecContext* c, const VideoSettings& settings) {
    AVDictionary* options = nullptr;
    if (!settings.preset.empty()) av_dict_set(&options, "preset", settings.preset.c_str(), 0);
    if (!settings.tune.empty()) av_dict_set(&options, "tune", settings.tune.c_str(), 0);
    // A picture asked to be a keyframe becomes an IDR picture, where a reader can start.
    if (settings.keyframeSeconds > 0) av_dict_set(&options, "forced-idr", "1", 0);
    if (settings.analysisThreadFrames > 0) {
        const std::string frames = "sync-lookahead=" + std::to_string(settings.analysisThreadFrames);
        av_dict_set(&options, "x264-params", frames.c_str(), 0);
    }
    const int result = avcodec_open2(c, c->codec, &options);
    av_dict_free(&options);
    return result;
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

H264Track::~H264Track() {
    avcodec_free_context(&context_);
    av_packet_free(&packet_);
    av_packet_free(&pending_);
    av_frame_free(&picture_);
}

bool H264Track::acceptable(const VideoSettings& settings) {
    return settings.width > 0 && settings.height > 0 && settings.width % 2 == 0 && settings.height % 2 == 0 &&
           settings.averageBitRate > 0 && settings.nominalFrameRate > 0;
}

void H264Track::prepare(const VideoSettings& settings) {
    quietMediaLibraries();
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (context == nullptr) return;
    configure(context, settings);
    openEncoder(context, settings);
    avcodec_free_context(&context);
}

int H264Track::open(const VideoSettings& settings, Mp4Output& output) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) return AVERROR_ENCODER_NOT_FOUND;
    context_ = avcodec_alloc_context3(codec);
    packet_ = av_packet_alloc();
    pending_ = av_packet_alloc();
    picture_ = av_frame_alloc();
    if (context_ == nullptr || packet_ == nullptr || pending_ == nullptr || picture_ == nullptr) {
        return AVERROR(ENOMEM);
    }
    if (output.needsGlobalHeader()) context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    configure(context_, settings);
    int result = openEncoder(context_, settings);
    if (result < 0) return result;
    stream_ = output.addStream(context_, result);
    if (stream_ == nullptr) return result;
    // One picture, drawn and sent on the writer's thread for every frame, so a long recording
    // allocates no picture memory.
    picture_->format = AV_PIX_FMT_YUV420P;
    picture_->width = settings.width;
    picture_->height = settings.height;
    result = av_frame_get_buffer(picture_, 0);
    if (result < 0) return result;
    picture_->color_range = AVCOL_RANGE_MPEG;
    picture_->colorspace = AVCOL_SPC_SMPTE170M;
    if (settings.keyframeSeconds > 0) {
        // Half a frame early, so that frames at the nominal rate meet the interval exactly.
        const double ticks =
            settings.keyframeSeconds * timeScale - timeScale / (2.0 * settings.nominalFrameRate);
        keyframeTicks_ = std::max<std::int64_t>(1, static_cast<std::int64_t>(ticks));
    }
    return 0;
}

int H264Track::encode(const VideoFill& fill, std::int64_t pts, Mp4Output& output) {
    // The encoder lets go of the picture before it is drawn again, so this only copies if a
    // library change ever keeps one.
    int result = av_frame_make_writable(picture_);
    if (result < 0) return result;
    YuvFrame picture(picture_);
    fill(picture);
    picture_->pts = pts;
    picture_->pict_type = AV_PICTURE_TYPE_NONE;
    if (keyframeTicks_ > 0 && (lastKeyframe_ < 0 || pts - lastKeyframe_ >= keyframeTicks_)) {
        picture_->pict_type = AV_PICTURE_TYPE_I;
        lastKeyframe_ = pts;
    }
    result = avcodec_send_frame(context_, picture_);
    if (result < 0) return result;
    return drain(output);
}

int H264Track::finish(Mp4Output& output) {
    int result = avcodec_send_frame(context_, nullptr);
    if (result < 0) return result;
    result = drain(output);
    if (result < 0) return result;
    // The last frame lasts as long as the one before it.
    return hasPending_ ? writePending(output, true) : 0;
}

int H264Track::drain(Mp4Output& output) {
    for (;;) {
        const int result = avcodec_receive_packet(context_, packet_);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return 0;
        if (result < 0) return result;
        av_packet_rescale_ts(packet_, context_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        if (hasPending_) {
            const std::int64_t duration = packet_->dts - pending_->dts;
            pending_->duration = duration;
            lastDuration_ = duration;
            const int written = writePending(output, false);
            if (written < 0) return written;
        }
        av_packet_move_ref(pending_, packet_);
        hasPending_ = true;
    }
}

int H264Track::writePending(Mp4Output& output, bool last) {
    if (last) {
        pending_->duration =
            lastDuration_ > 0
                ? lastDuration_
                : std::max<std::int64_t>(1, av_rescale_q(soleFrameDuration, timeBase, stream_->time_base));
    }
    const int written = output.writePacket(pending_);
    av_packet_unref(pending_);
    hasPending_ = false;
    return written;
}

}  // namespace qv
