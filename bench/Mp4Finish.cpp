// The finish of the longest and the largest recording: how long it takes to end the fragmented file
// and copy it into a plain MP4, and both files' sizes. Packets are made once (one key picture, one
// other picture, one block of sound) and repeated with filler at the given video bit rate, so the
// figure is the muxing and file work alone, without encoding.
//
//   bench_Mp4Finish [seconds (600)] [video-bits-per-second (1,600,000: about 116 MiB in 600 s)]

#include "HelperProcess.h"
#include "media/Mp4Output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int64_t sizeOf(int directory, const std::string& name) {
    struct stat info {};
    return ::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ? info.st_size : -1;
}

// Encodes `count` frames with `context`, returning its packets.
std::vector<AVPacket*> encode(AVCodecContext* context, int count) {
    std::vector<AVPacket*> packets;
    AVFrame* frame = av_frame_alloc();
    frame->format = context->codec_type == AVMEDIA_TYPE_VIDEO ? static_cast<int>(context->pix_fmt)
                                                              : static_cast<int>(context->sample_fmt);
    frame->width = context->width;
    frame->height = context->height;
    frame->nb_samples = context->frame_size;
    av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
    av_frame_get_buffer(frame, 0);
    AVPacket* packet = av_packet_alloc();
    for (int i = 0; i <= count; ++i) {
        if (i < count) {
            if (context->codec_type == AVMEDIA_TYPE_VIDEO) {
                for (int plane = 0; plane < 3; ++plane) {
                    const int rows = plane == 0 ? frame->height : frame->height / 2;
                    for (int y = 0; y < rows; ++y) {
                        std::uint8_t* row =
                            frame->data[plane] + static_cast<std::ptrdiff_t>(y) * frame->linesize[plane];
                        for (int x = 0; x < frame->linesize[plane]; ++x)
                            row[x] = static_cast<std::uint8_t>(128 + (x / 64 + y / 64 + i) % 2);
                    }
                }
            } else {
                std::memset(frame->data[0], 0, static_cast<std::size_t>(frame->linesize[0]));
            }
            frame->pts = i * (context->codec_type == AVMEDIA_TYPE_VIDEO ? 1500 : context->frame_size);
        }
        avcodec_send_frame(context, i < count ? frame : nullptr);
        while (avcodec_receive_packet(context, packet) == 0) packets.push_back(av_packet_clone(packet));
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    return packets;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    const std::int64_t bitRate = argc > 2 ? std::atoll(argv[2]) : 1'600'000;

    AVCodecContext* video = avcodec_alloc_context3(avcodec_find_encoder_by_name("libx264"));
    video->width = 1280;
    video->height = 1152;
    video->pix_fmt = AV_PIX_FMT_YUV420P;
    video->time_base = AVRational{1, 90000};
    video->framerate = AVRational{60, 1};
    video->bit_rate = bitRate;
    video->max_b_frames = 0;
    video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(video->priv_data, "preset", "ultrafast", 0);
    av_opt_set(video->priv_data, "tune", "zerolatency", 0);
    AVCodecContext* audio = avcodec_alloc_context3(avcodec_find_encoder_by_name("aac"));
    audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
    audio->sample_rate = 48000;
    av_channel_layout_default(&audio->ch_layout, 1);
    audio->bit_rate = 128000;
    audio->time_base = AVRational{1, 48000};
    audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(video, video->codec, nullptr) < 0 || avcodec_open2(audio, audio->codec, nullptr) < 0) {
        std::fprintf(stderr, "encoders unavailable\n");
        return 1;
    }
    const auto pictures = encode(video, 2);
    const auto sounds = encode(audio, 4);
    if (pictures.size() < 2 || sounds.size() < 2) {
        std::fprintf(stderr, "encoders gave %zu pictures and %zu sounds\n", pictures.size(), sounds.size());
        return 1;
    }
    // Filler (NAL type 12) brings each picture to the bit rate's share; players skip it.
    const std::size_t perPicture = static_cast<std::size_t>(bitRate / 8 / 60);
    std::vector<std::string> bodies;
    for (int i = 0; i < 2; ++i) {
        std::string body(reinterpret_cast<const char*>(pictures[i]->data),
                         static_cast<std::size_t>(pictures[i]->size));
        if (body.size() + 6 < perPicture) {
            std::string filler("\x00\x00\x00\x01\x0c", 5);
            filler.append(perPicture - body.size() - 6, '\xff');
            filler.push_back('\x80');
            body += filler;
        }
        bodies.push_back(body);
    }

    const qvtest::TempDir dir;
    const int directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string name = "capture-bench.mp4";
    const int fd = ::openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    qv::Mp4Output output(fd, directory, name);
    int result = 0;
    AVStream* videoStream = output.addStream(video, result);
    AVStream* audioStream = output.addStream(audio, result);
    if (videoStream == nullptr || audioStream == nullptr || output.writeHeader() < 0) {
        std::fprintf(stderr, "output could not start\n");
        return 1;
    }

    const auto writeStart = Clock::now();
    AVPacket* packet = av_packet_alloc();
    std::int64_t nextAudio = -1024;
    const std::int64_t frames = static_cast<std::int64_t>(seconds) * 60;
    for (std::int64_t i = 0; i < frames && result >= 0; ++i) {
        const bool key = i % 60 == 0;
        const std::string& body = bodies[key ? 0 : 1];
        av_new_packet(packet, static_cast<int>(body.size()));
        std::memcpy(packet->data, body.data(), body.size());
        packet->pts = packet->dts = i * 1500;
        packet->duration = 1500;
        packet->flags = key ? AV_PKT_FLAG_KEY : 0;
        packet->stream_index = videoStream->index;
        av_packet_rescale_ts(packet, video->time_base, videoStream->time_base);
        result = output.writePacket(packet);
        av_packet_unref(packet);
        while (result >= 0 && nextAudio * 90000 <= (i + 1) * 1500 * 48000) {
            av_packet_ref(packet, sounds[1]);
            packet->pts = packet->dts = nextAudio;
            packet->duration = 1024;
            packet->stream_index = audioStream->index;
            av_packet_rescale_ts(packet, audio->time_base, audioStream->time_base);
            result = output.writePacket(packet);
            av_packet_unref(packet);
            nextAudio += 1024;
        }
    }
    const double writeSeconds = secondsSince(writeStart);
    const std::int64_t fragmented = output.fileSize();
    const auto finishStart = Clock::now();
    if (result >= 0) result = output.finish();
    const double finishSeconds = secondsSince(finishStart);
    std::printf(
        "recording %d s at %.2f Mbit/s video + AAC: written in %.2f s (%.0f ms per recorded minute)\n",
        seconds, static_cast<double>(bitRate) / 1e6, writeSeconds, writeSeconds * 60'000 / seconds);
    std::printf(
        "fragmented file %.1f MiB, plain file %.1f MiB, finish (last fragment, copy, sync, rename) "
        "%.2f s, result %d\n",
        static_cast<double>(fragmented) / 1048576.0, static_cast<double>(sizeOf(directory, name)) / 1048576.0,
        finishSeconds, result);
    av_packet_free(&packet);
    for (AVPacket* each : pictures) av_packet_free(&each);
    for (AVPacket* each : sounds) av_packet_free(&each);
    avcodec_free_context(&video);
    avcodec_free_context(&audio);
    ::close(directory);
    return result < 0 ? 1 : 0;
}
