#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <string>
#include <vector>

namespace qvtest {

// One stream of a media file: its packets, and whether each has a duration and a decoding time
// later than the one before.
struct StreamFacts {
    int packets = 0;
    bool risingAndTimed = true;
};

// The streams of the file at `path`; empty when it cannot be read to its end.
inline std::vector<StreamFacts> readStreams(const std::string& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return {};
    std::vector<StreamFacts> facts(format->nb_streams);
    std::vector<std::int64_t> last(format->nb_streams, INT64_MIN);
    AVPacket* packet = av_packet_alloc();
    int result = 0;
    while ((result = av_read_frame(format, packet)) >= 0) {
        const auto stream = static_cast<std::size_t>(packet->stream_index);
        ++facts[stream].packets;
        if (packet->duration <= 0 || packet->dts <= last[stream]) facts[stream].risingAndTimed = false;
        last[stream] = packet->dts;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    if (result != AVERROR_EOF) facts.clear();
    return facts;
}

}  // namespace qvtest
