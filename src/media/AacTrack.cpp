#include "media/AacTrack.h"

#include "media/MediaLibraries.h"
#include "media/Mp4Output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace qv {

namespace {

// Silence goes through the resampler in pieces of this many samples.
constexpr std::int64_t silencePiece = 1024;

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
    // Resampling from the start, though the rates are equal: compensation needs the resampler,
    // and switching it on later would restart the conversion.
    if (result >= 0) result = av_opt_set_int(resampler_, "flags", SWR_FLAG_RESAMPLE, 0);
    if (result >= 0) result = swr_init(resampler_);
    if (result < 0) return result;
    fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, settings.channels, context_->frame_size * 2);
    if (fifo_ == nullptr) return AVERROR(ENOMEM);
    channels_ = settings.channels;
    sampleRate_ = settings.sampleRate;
    timeline_ = std::make_unique<AudioTimeline>(settings.sampleRate);
    return 0;
}

int AacTrack::encode(std::vector<std::int16_t> pcm, double time, Mp4Output& output) {
    timeline_->push(time, static_cast<std::int64_t>(pcm.size() / static_cast<std::size_t>(channels_)));
    held_.push_back(std::move(pcm));
    return layHeld(false, output);
}

int AacTrack::layHeld(bool draining, Mp4Output& output) {
    while (timeline_->ready(draining)) {
        // Where the next captured sample lands: after the FIFO and what the resampler still holds.
        const double laid =
            static_cast<double>(fifoPts_ + av_audio_fifo_size(fifo_)) +
            static_cast<double>(swr_get_delay(resampler_, static_cast<std::int64_t>(sampleRate_) * 1000)) /
                1000;
        const AudioTimeline::Placement placement = timeline_->place(laid);
        const std::vector<std::int16_t> block = std::move(held_.front());
        held_.pop_front();
        started_ = true;
        int result = convert(nullptr, placement.silence, output);
        if (result < 0) return result;
        const auto delta = static_cast<int>(std::llround(placement.stretch * sampleRate_));
        // Over the next second of output, `delta` samples more (or fewer); renewed with every block.
        result = swr_set_compensation(resampler_, delta, delta != 0 ? sampleRate_ : 0);
        if (result < 0) return result;
        const auto frames = static_cast<std::int64_t>(block.size() / static_cast<std::size_t>(channels_));
        result = convert(block.data() + placement.cut * channels_, frames - placement.cut, output);
        if (result < 0) return result;
    }
    return 0;
}

int AacTrack::convert(const std::int16_t* pcm, std::int64_t count, Mp4Output& output) {
    static const std::vector<std::int16_t> silence(silencePiece * 2, 0);
    while (count > 0) {
        const int n = static_cast<int>(pcm != nullptr ? count : std::min(count, silencePiece));
        const auto* in = reinterpret_cast<const std::uint8_t*>(pcm != nullptr ? pcm : silence.data());
        const int result = resample(&in, n, output);
        if (result < 0) return result;
        count -= n;
    }
    return 0;
}

// `in` null: what the resampler still holds.
int AacTrack::resample(const std::uint8_t** in, int count, Mp4Output& output) {
    const int room = swr_get_out_samples(resampler_, count);
    if (room < 0) return room;
    converted_.resize(static_cast<std::size_t>(room) * static_cast<std::size_t>(channels_));
    std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(converted_.data()),
                            reinterpret_cast<std::uint8_t*>(converted_.data() + room)};
    const int made = swr_convert(resampler_, out, room, in, count);
    if (made < 0) return made;
    if (av_audio_fifo_write(fifo_, reinterpret_cast<void**>(out), made) < made) return AVERROR(ENOMEM);
    return sendFrames(false, output);
}

int AacTrack::finish(Mp4Output& output) {
    if (started_ || !held_.empty()) {
        int result = layHeld(true, output);
        if (result >= 0) result = resample(nullptr, 0, output);
        if (result >= 0) result = sendFrames(true, output);
        if (result < 0) return result;
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
