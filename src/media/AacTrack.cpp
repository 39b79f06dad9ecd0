#include "media/AacTrack.h"

#include "media/MediaLibraries.h"
#include "media/Mp4Output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace qv {

namespace {

// Audio that arrives later than this after the previous block leaves a gap filled with silence;
// smaller differences are clock jitter and the audio stays contiguous.
constexpr double audioGapTolerance = 0.05;

void configure(AVCodecContext* c, const AudioSettings& settings) {
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->sample_rate = settings.sampleRate;
    av_channel_layout_default(&c->ch_layout, settings.channels);
    c->bit_rate = settings.bitRate;
    c->time_base = AVRational{1, settings.sampleRate};
}

}  // namespace

AacTrack::~AacTrack() {
    avcodec_free_context(&context_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    swr_free(&resampler_);
    if (fifo_ != nullptr) av_audio_fifo_free(fifo_);
}

bool AacTrack::acceptable(const AudioSettings& settings) {
    return settings.sampleRate > 0 && settings.channels >= 1 && settings.channels <= 2 &&
           settings.bitRate > 0;
}

void AacTrack::prepare(const AudioSettings& settings) {
    quietMediaLibraries();
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    AVCodecContext* context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (context == nullptr) return;
    configure(context, settings);
    avcodec_open2(context, codec, nullptr);
    avcodec_free_context(&context);
}

int AacTrack::open(const AudioSettings& settings, Mp4Output& output) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) return AVERROR_ENCODER_NOT_FOUND;
    context_ = avcodec_alloc_context3(codec);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (context_ == nullptr || packet_ == nullptr || frame_ == nullptr) return AVERROR(ENOMEM);
    if (output.needsGlobalHeader()) context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    configure(context_, settings);
    int result = avcodec_open2(context_, codec, nullptr);
    if (result < 0) return result;
    stream_ = output.addStream(context_, result);
    if (stream_ == nullptr) return result;
    result = swr_alloc_set_opts2(&resampler_, &context_->ch_layout, AV_SAMPLE_FMT_FLTP, settings.sampleRate,
                                 &context_->ch_layout, AV_SAMPLE_FMT_S16, settings.sampleRate, 0, nullptr);
    if (result >= 0) result = swr_init(resampler_);
    if (result < 0) return result;
    fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, settings.channels, context_->frame_size * 2);
    if (fifo_ == nullptr) return AVERROR(ENOMEM);
    channels_ = settings.channels;
    sampleRate_ = settings.sampleRate;
    return 0;
}

int AacTrack::encode(const std::vector<std::int16_t>& pcm, std::int64_t pts, Mp4Output& output) {
    const int count = static_cast<int>(pcm.size() / static_cast<std::size_t>(channels_));
    if (fifoPts_ < 0) fifoPts_ = pts;
    const std::int64_t expected = fifoPts_ + av_audio_fifo_size(fifo_);
    std::int64_t gap = pts - expected;
    if (gap > std::llround(audioGapTolerance * sampleRate_)) {
        float silence[1024] = {};
        float* planes[2] = {silence, silence};
        while (gap > 0) {
            const int n = static_cast<int>(std::min<std::int64_t>(gap, 1024));
            if (av_audio_fifo_write(fifo_, reinterpret_cast<void**>(planes), n) < n) return AVERROR(ENOMEM);
            gap -= n;
            const int sent = sendFrames(false, output);
            if (sent < 0) return sent;
        }
    }
    if (av_audio_fifo_realloc(fifo_, av_audio_fifo_size(fifo_) + count) < 0) return AVERROR(ENOMEM);
    converted_.resize(static_cast<std::size_t>(count) * static_cast<std::size_t>(channels_));
    std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(converted_.data()),
                            reinterpret_cast<std::uint8_t*>(converted_.data() + count)};
    const auto* in = reinterpret_cast<const std::uint8_t*>(pcm.data());
    const int made = swr_convert(resampler_, out, count, &in, count);
    if (made < 0) return made;
    if (av_audio_fifo_write(fifo_, reinterpret_cast<void**>(out), made) < made) return AVERROR(ENOMEM);
    return sendFrames(false, output);
}

int AacTrack::finish(Mp4Output& output) {
    if (fifoPts_ >= 0) {
        const int sent = sendFrames(true, output);
        if (sent < 0) return sent;
    }
    const int result = avcodec_send_frame(context_, nullptr);
    if (result < 0) return result;
    return drain(output);
}

int AacTrack::sendFrames(bool flush, Mp4Output& output) {
    const int frameSize = context_->frame_size;
    while (av_audio_fifo_size(fifo_) >= frameSize || (flush && av_audio_fifo_size(fifo_) > 0)) {
        const int n = std::min(frameSize, av_audio_fifo_size(fifo_));
        av_frame_unref(frame_);
        frame_->nb_samples = n;
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->sample_rate = sampleRate_;
        int result = av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout);
        if (result >= 0) result = av_frame_get_buffer(frame_, 0);
        if (result < 0) return result;
        if (av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->data), n) < n) return AVERROR(EIO);
        frame_->pts = fifoPts_;
        fifoPts_ += n;
        result = avcodec_send_frame(context_, frame_);
        if (result < 0) return result;
        result = drain(output);
        if (result < 0) return result;
    }
    return 0;
}

int AacTrack::drain(Mp4Output& output) {
    for (;;) {
        const int result = avcodec_receive_packet(context_, packet_);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return 0;
        if (result < 0) return result;
        av_packet_rescale_ts(packet_, context_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        if (packet_->duration <= 0) packet_->duration = context_->frame_size;
        const int written = output.writePacket(packet_);
        av_packet_unref(packet_);
        if (written < 0) return written;
    }
}

}  // namespace qv
