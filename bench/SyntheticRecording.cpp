// Recording throughput: the synthetic audio test at its longest duration, and the helper's H.264 path
// against the ffmpeg command-line tool's fastest standard encode of the same frames, with the
// quality of both against the exact 8× enlargement.
//
//   bench_SyntheticRecording [long-test-ms (600000; 0 skips it)] [comparison-seconds (20)]

#include "HelperProcess.h"
#include "recording/Movie.h"
#include "selftest/SyntheticCodecTest.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Json = qv::Json;
using Clock = std::chrono::steady_clock;

constexpr int sourceWidth = 160;
constexpr int sourceHeight = 144;
constexpr int width = sourceWidth * 8;
constexpr int height = sourceHeight * 8;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time of every waited-for child so far: on a shared machine a steadier figure than wall time.
double childCpuSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run {
    double seconds = 0;
    Json result;
    double cpuSeconds = 0;
};

Run runHelper(const std::vector<std::string>& args, double timeout, bool required = true) {
    const auto start = Clock::now();
    const double cpu = childCpuSeconds();
    const auto run = qvtest::runHelper(args, {}, timeout);
    Run out{secondsSince(start), Json::parse(run.out, nullptr, false), childCpuSeconds() - cpu};
    if (run.status != 0 || !out.result.is_object() || out.result.value("ok", false) != true) {
        std::printf("%s %s failed after %.1f s (%.1f processor seconds): status %d, %s", args[0].c_str(),
                    args.size() > 1 ? args[1].c_str() : "", out.seconds, out.cpuSeconds, run.status,
                    run.out.c_str());
        if (required) std::exit(1);
        out.result = Json();
    }
    return out;
}

// The ffmpeg command-line tool encoding the same generated frames, fed through a pipe.
double runFfmpeg(int frames, std::int64_t bitRate, const std::string& output) {
    const std::string command =
        "ffmpeg -nostdin -y -v error -f rawvideo -pix_fmt bgra -s 160x144 -r 60 -i pipe:0 "
        "-vf scale=1280:1152:flags=neighbor -pix_fmt yuv420p -c:v libx264 -preset ultrafast "
        "-tune zerolatency -bf 0 -b:v " +
        std::to_string(bitRate) + " '" + output + "'";
    // Generate every frame first, so the timing is the tool's alone.
    std::vector<std::string> raw;
    raw.reserve(static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        auto frame = qv::PixelBuffer::create(sourceWidth, sourceHeight);
        qv::fillSyntheticFrame(*frame, i);
        std::string bytes;
        for (int y = 0; y < sourceHeight; ++y) {
            bytes.append(reinterpret_cast<const char*>(frame->row(y)), sourceWidth * 4);
        }
        raw.push_back(std::move(bytes));
    }
    const auto start = Clock::now();
    FILE* pipe = ::popen(command.c_str(), "w");
    if (pipe == nullptr) return -1;
    for (const auto& bytes : raw) std::fwrite(bytes.data(), 1, bytes.size(), pipe);
    const int status = ::pclose(pipe);
    const double seconds = secondsSince(start);
    if (status != 0) {
        std::printf("ffmpeg failed with status %d\n", status);
        std::exit(1);
    }
    return seconds;
}

struct Quality {
    int frames = 0;
    double psnr = 0;
    double lumaPsnr = 0;
};

double psnrOf(double sumSquares, double samples) {
    return sumSquares <= 0 ? INFINITY : 10.0 * std::log10(255.0 * 255.0 * samples / sumSquares);
}

// PSNR of every decoded frame against the 4:2:0 picture of the exact enlargement of its source.
Quality measure(const std::string& path) {
    Quality quality;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return quality;
    avformat_find_stream_info(format, nullptr);
    const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodec* codec = avcodec_find_decoder(format->streams[stream]->codecpar->codec_id);
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(decoder, format->streams[stream]->codecpar);
    avcodec_open2(decoder, codec, nullptr);

    std::vector<std::uint8_t> y(width * height), u(width * height / 4), v(width * height / 4),
        scratch(sourceWidth * sourceHeight * 3);
    std::uint8_t* const planes[3] = {y.data(), u.data(), v.data()};
    const int strides[3] = {width, width / 2, width / 2};
    double lumaSquares = 0;
    double chromaSquares = 0;
    auto frame = qv::PixelBuffer::create(sourceWidth, sourceHeight);
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    const auto compare = [&] {
        while (avcodec_receive_frame(decoder, picture) >= 0) {
            qv::fillSyntheticFrame(*frame, quality.frames++);
            qv::enlargeToI420(*frame, planes, strides, scratch.data());
            for (int p = 0; p < 3; ++p) {
                const int w = p == 0 ? width : width / 2;
                const int h = p == 0 ? height : height / 2;
                double squares = 0;
                for (int row = 0; row < h; ++row) {
                    const std::uint8_t* a = picture->data[p] + row * picture->linesize[p];
                    const std::uint8_t* b = planes[p] + row * strides[p];
                    for (int x = 0; x < w; ++x) {
                        const double d = static_cast<double>(a[x]) - b[x];
                        squares += d * d;
                    }
                }
                (p == 0 ? lumaSquares : chromaSquares) += squares;
            }
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == stream) avcodec_send_packet(decoder, packet);
        av_packet_unref(packet);
        compare();
    }
    avcodec_send_packet(decoder, nullptr);
    compare();
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);

    const double lumaSamples = static_cast<double>(quality.frames) * width * height;
    quality.psnr = psnrOf(lumaSquares + chromaSquares, lumaSamples * 1.5);
    quality.lumaPsnr = psnrOf(lumaSquares, lumaSamples);
    return quality;
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t longMs = argc > 1 ? std::atoll(argv[1]) : 600'000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    const int frames = seconds * 60;

    if (longMs > 0) {
        const Run run = runHelper({"--synthetic-audio-test", std::to_string(longMs)}, 600, false);
        if (run.result.is_object())
            std::printf(
                "--synthetic-audio-test %lld: ok, %.1f s wall clock (helper reports %.1f s), "
                "container %.3f s, readiness bound %.0f s; %.1f processor seconds (%.2f cores)\n",
                static_cast<long long>(longMs), run.seconds, run.result["wallClockSeconds"].get<double>(),
                run.result["containerDurationSeconds"].get<double>(), longMs / 10'000.0 + 30, run.cpuSeconds,
                run.cpuSeconds / run.seconds);
    }

    const Run ours = runHelper({"--synthetic-test", std::to_string(seconds * 1000)}, 600);
    const std::string ourFile = ours.result["sessionDir"].get<std::string>() + "/" +
                                ours.result["mp4"]["basename"].get<std::string>();
    const std::string theirFile = ours.result["sessionDir"].get<std::string>() + "/ffmpeg-cli.mp4";
    const double cpuBefore = childCpuSeconds();
    const double theirSeconds = runFfmpeg(frames, qv::recordingBitRate(sourceWidth, sourceHeight), theirFile);
    const double theirCpu = childCpuSeconds() - cpuBefore;

    const Quality ourQuality = measure(ourFile);
    const Quality theirQuality = measure(theirFile);
    const double ourFps = frames / ours.seconds;
    const double theirFps = frames / theirSeconds;
    std::printf("%d frames of 1280x1152 at %lld bit/s\n", frames,
                static_cast<long long>(qv::recordingBitRate(sourceWidth, sourceHeight)));
    std::printf(
        "helper      : %7.1f frames/s (%.2f s incl. start, images and read-back), PSNR %.2f dB "
        "(Y %.2f dB), %d frames decoded, %lld bytes\n",
        ourFps, ours.seconds, ourQuality.psnr, ourQuality.lumaPsnr, ourQuality.frames,
        static_cast<long long>(ours.result["mp4"]["bytes"].get<std::int64_t>()));
    std::printf("ffmpeg CLI  : %7.1f frames/s (%.2f s), PSNR %.2f dB (Y %.2f dB), %d frames decoded\n",
                theirFps, theirSeconds, theirQuality.psnr, theirQuality.lumaPsnr, theirQuality.frames);
    std::printf("ratio       : %.2fx the command-line tool's throughput, PSNR difference %+.2f dB\n",
                ourFps / theirFps, ourQuality.psnr - theirQuality.psnr);
    std::printf("processor   : helper %.2f ms per frame, ffmpeg CLI %.2f ms per frame (all threads)\n",
                ours.cpuSeconds * 1000 / frames, theirCpu * 1000 / frames);
    return 0;
}
