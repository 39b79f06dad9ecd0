#include "SyncMarks.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

namespace qvtest {

namespace {

// The test picture's brightest luma is about 135; a white frame's is 235.
constexpr double whiteLuma = 200;
// The burst peaks at 24000 / 32768 of full scale, the steady tone at 8192 / 32768.
constexpr double burstLevel = 0.5;
constexpr double silenceLevel = 0.01;
// The sound begins with the first sample this loud, which only the tone and the bursts reach: the
// encoder spreads a little of the first sound back into the silence before it (pre-echo), and that
// neither begins the sound nor ends a silence.
constexpr double soundLevel = 0.1;
// Bursts last 30 ms and come at least 100 ms apart.
constexpr double burstSeconds = 0.03;
constexpr double burstSpacing = 0.06;
// A quiet stretch longer than this is a silence; the tone is quiet for a few samples at each zero.
constexpr double maxGap = 0.001;

struct Decoder {
    AVCodecContext* context = nullptr;
    double timeBase = 0;
    ~Decoder() { avcodec_free_context(&context); }
};

struct Input {
    AVFormatContext* format = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    ~Input() {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avformat_close_input(&format);
    }
};

bool open(Decoder& decoder, const AVStream* stream) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    decoder.context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (decoder.context == nullptr || avcodec_parameters_to_context(decoder.context, stream->codecpar) < 0) {
        return false;
    }
    // Lets the decoder move the first frame's time past the encoder's priming it drops.
    decoder.context->pkt_timebase = stream->time_base;
    decoder.timeBase = av_q2d(stream->time_base);
    return avcodec_open2(decoder.context, codec, nullptr) >= 0;
}

double meanLuma(const AVFrame* frame) {
    double sum = 0;
    int count = 0;
    for (int y = 0; y < frame->height; y += 16) {
        const std::uint8_t* row = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
        for (int x = 0; x < frame->width; x += 16, ++count) sum += row[x];
    }
    return count > 0 ? sum / count : 0;
}

// What the listener keeps between audio frames.
struct Listening {
    double lastBurst = -HUGE_VAL;
    bool heard = false;
    // The last sample of the sound so far.
    double soundUntil = 0;
    // A faint sample after a silence, which ends the silence once the sound is loud again soon after:
    // alone, it is the encoder's echo of the sound around it.
    std::optional<double> faintAt;
};

// The silence from the last sound up to `end`, when it is one.
void silence(SyncMarks& marks, const Listening& state, double end, double rate) {
    const double length = end - state.soundUntil - 1 / rate;
    if (end - state.soundUntil > maxGap) {
        marks.silences.push_back(state.soundUntil);
        marks.silenceLengths.push_back(length);
    }
    marks.longestSilence = std::max(marks.longestSilence, length);
}

// Reads the audio frame's first channel, as floats.
void listen(const AVFrame* frame, double start, SyncMarks& marks, Listening& state) {
    const double rate = frame->sample_rate;
    for (int i = 0; i < frame->nb_samples; ++i) {
        double value = 0;
        switch (frame->format) {
            case AV_SAMPLE_FMT_FLTP:
            case AV_SAMPLE_FMT_FLT:
                value = reinterpret_cast<const float*>(
                    frame
                        ->data[0])[frame->format == AV_SAMPLE_FMT_FLT ? i * frame->ch_layout.nb_channels : i];
                break;
            default:
                return;
        }
        const double at = start + i / rate;
        const double level = std::fabs(value);
        if (!state.heard) {
            if (level < soundLevel) continue;
            marks.audioStart = state.soundUntil = at;
            state.heard = true;
        }
        if (level >= burstLevel && at - state.lastBurst > burstSpacing) {
            // A burst under way when the sound begins was cut by the file's start: it began before.
            if (at - marks.audioStart >= burstSeconds) marks.bursts.push_back(at);
            state.lastBurst = at;
        }
        if (level >= soundLevel) {
            silence(marks, state, state.faintAt.value_or(at), rate);
            state.faintAt.reset();
            state.soundUntil = marks.audioEnd = at;
        } else if (level >= silenceLevel) {
            if (state.faintAt && at - *state.faintAt > maxGap) state.faintAt.reset();  // an echo
            if (at - state.soundUntil <= maxGap) {
                silence(marks, state, at, rate);
                state.soundUntil = at;
            } else if (!state.faintAt) {
                state.faintAt = at;
            }
        }
    }
}

}  // namespace

double SyncMarks::grid(double period) const {
    if (whiteFrames.empty()) return 0;
    std::vector<double> phases;
    for (const double white : whiteFrames) {
        const double since = white - whiteFrames.front();
        phases.push_back(whiteFrames.front() + since - std::round(since / period) * period);
    }
    std::nth_element(phases.begin(), phases.begin() + static_cast<std::ptrdiff_t>(phases.size() / 2),
                     phases.end());
    return phases[phases.size() / 2];
}

std::vector<double> SyncMarks::offsets(double period) const {
    const double zero = grid(period);
    std::vector<double> result;
    for (const double burst : bursts)
        result.push_back(burst - zero - std::round((burst - zero) / period) * period);
    return result;
}

int SyncMarks::lateWhiteFrames(double period, double frameInterval) const {
    const double zero = grid(period);
    return static_cast<int>(std::count_if(whiteFrames.begin(), whiteFrames.end(), [&](double white) {
        return white - zero - std::round((white - zero) / period) * period > frameInterval * 0.9;
    }));
}

std::pair<double, double> SyncMarks::largestOffsets(double period, double split) const {
    const std::vector<double> all = offsets(period);
    std::pair<double, double> largest{0, 0};
    for (std::size_t i = 0; i < all.size(); ++i) {
        double& side = bursts[i] < split ? largest.first : largest.second;
        side = std::max(side, std::fabs(all[i]));
    }
    return largest;
}

std::optional<int> SyncMarks::lostBlocks(double block, double tolerance) const {
    int count = 0;
    for (const double length : silenceLengths) {
        const double blocks = std::round(length / block);
        if (blocks < 1 || std::fabs(length - blocks * block) > tolerance) return std::nullopt;
        count += static_cast<int>(blocks);
    }
    return count;
}

SyncMarks readSyncMarks(const std::string& path) {
    SyncMarks marks;
    Input input;
    if (input.packet == nullptr || input.frame == nullptr ||
        avformat_open_input(&input.format, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(input.format, nullptr) < 0) {
        return marks;
    }
    std::vector<std::unique_ptr<Decoder>> decoders;
    for (unsigned i = 0; i < input.format->nb_streams; ++i) {
        decoders.push_back(std::make_unique<Decoder>());
        if (!open(*decoders.back(), input.format->streams[i])) return marks;
    }
    Listening listening;
    bool wasWhite = false;
    const auto receive = [&](Decoder& decoder) {
        while (avcodec_receive_frame(decoder.context, input.frame) >= 0) {
            const double at = static_cast<double>(input.frame->best_effort_timestamp) * decoder.timeBase;
            if (decoder.context->codec_type == AVMEDIA_TYPE_VIDEO) {
                const bool white = meanLuma(input.frame) > whiteLuma;
                if (white && !wasWhite) marks.whiteFrames.push_back(at);
                wasWhite = white;
            } else {
                listen(input.frame, at, marks, listening);
            }
            av_frame_unref(input.frame);
        }
    };
    while (av_read_frame(input.format, input.packet) >= 0) {
        Decoder& decoder = *decoders[static_cast<std::size_t>(input.packet->stream_index)];
        const int sent = avcodec_send_packet(decoder.context, input.packet);
        av_packet_unref(input.packet);
        if (sent < 0) return marks;
        receive(decoder);
    }
    for (auto& decoder : decoders) {
        avcodec_send_packet(decoder->context, nullptr);
        receive(*decoder);
    }
    marks.readable = true;
    return marks;
}

}  // namespace qvtest
