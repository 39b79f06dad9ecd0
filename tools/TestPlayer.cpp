// A test player on PipeWire: a camera (Video/Source, 160 × 144 at 60 frames a second, each buffer
// stamped with its sequence number and the monotonic instant its frame period began) and its
// microphone (Audio/Source, a 440 Hz tone, signed 16-bit mono at 48 kHz), both named after the
// player. It runs until it is killed, which unplugs both, or for the seconds given (0: until killed).
//
//   test-player [name] [seconds] [YUY2|BGRx|NV12|MJPG] [missed-file] [clock-ppm] [mark-ms] [quantum]
//
// The name is "Quorvelle - Player 01" by default. With a missed-file, the player keeps there the
// number of frame periods it could not fill (no free buffer, or the graph ran late), so that a
// test can tell its losses from a reader's where the layer in between hides them, and after it the
// samples of the microphone's latest cycle (0 before the first).
//
// YUY2 (the default) shows moving bars; BGRx and MJPG are one colour, red 160, green 80, blue 40,
// and NV12 one grey (Y, U and V 128). Every row is padded with 0xFF bytes beyond its pixels, so that
// a reader that ignores the stride sees them.
//
// The microphone drives its own graph, as a USB microphone's sound card does: a timer of its own
// starts each cycle once the cycle's samples have been heard, on a sample clock that runs
// `clock-ppm` parts per million fast (negative: slow) against CLOCK_MONOTONIC, so it delivers
// 48000 × (1 + ppm / 10⁶) samples a second of that clock. With `mark-ms` (100 or more), there is a
// sync mark at every multiple of that many milliseconds of CLOCK_MONOTONIC: the camera's frame (raw
// formats) whose period begins at the mark is all white, and the sound heard from the mark on is a
// 30 ms 1 kHz burst at 24000 of full scale instead of the tone (at 8000). Frame periods, too, are
// counted from the clock's zero, so at 60 frames a second a mark every second falls on a frame, and a
// test knows the marks' instants without asking.

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int width = 160;
constexpr int height = 144;
constexpr int fps = 60;
constexpr int padding = 48;
constexpr int audioRate = 48000;
// The samples of a microphone cycle.
constexpr std::uint32_t quantum = 1024;
// How soon the microphone tries again while it has sound waiting.
constexpr std::uint64_t catchUpNs = 1000000;
constexpr double toneHz = 440;
constexpr double toneLevel = 8000;
constexpr double burstHz = 1000;
constexpr double burstLevel = 24000;
constexpr double burstSeconds = 0.03;

// The frame layout of the format asked for.
struct Layout {
    bool jpeg = false;
    std::vector<std::uint8_t> jpegFrame;  // the one picture an MJPG camera sends
    std::uint32_t format = SPA_VIDEO_FORMAT_YUY2;
    int stride = width * 2 + padding;
    int size = (width * 2 + padding) * height;
};

Layout layout;

struct Player {
    pw_main_loop* loop = nullptr;
    pw_stream* camera = nullptr;
    pw_stream* microphone = nullptr;
    spa_source* timer = nullptr;
    spa_source* microphoneTimer = nullptr;
    std::uint64_t markNs = 0;  // 0: no marks
    // The frame number is the frame period it falls in: periods that got no frame (the timer or the
    // graph ran late) leave a gap in the sequence numbers, as a real camera's lost frames do.
    std::uint64_t frames = 0;
    bool framed = false;
    std::uint64_t missed = 0;
    std::uint32_t cycle = 0;
    std::string missedFile;
    // The samples of each microphone cycle forced on its graph; 0: what its followers ask.
    std::uint32_t forcedQuantum = quantum;
    // The microphone's samples per second of CLOCK_MONOTONIC, and the instant, in nanoseconds, its
    // sample 0 was heard: sample n is heard at heardNs + n / samplesPerSecond.
    double samplesPerSecond = audioRate;
    double heardNs = 0;
    std::uint64_t audioFrames = 0;
    // The graph's position, which the microphone's stream drives.
    spa_io_position* position = nullptr;
};

std::uint64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * SPA_NSEC_PER_SEC +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// Replaces the missed-file's counts at once (a rename), so a reader never sees half of it.
void reportMissed(const Player& player) {
    if (player.missedFile.empty()) return;
    const std::string scratch = player.missedFile + ".new";
    if (FILE* file = std::fopen(scratch.c_str(), "w")) {
        std::fprintf(file, "%llu %u\n", static_cast<unsigned long long>(player.missed), player.cycle);
        if (std::fclose(file) == 0) std::rename(scratch.c_str(), player.missedFile.c_str());
    }
}

// Where frame period `period` begins on CLOCK_MONOTONIC, and the period that holds `ns`.
std::uint64_t periodStartNs(std::uint64_t period) {
    return period * SPA_NSEC_PER_SEC / fps;
}

std::uint64_t periodAt(std::uint64_t ns) {
    return ns * fps / SPA_NSEC_PER_SEC;
}

// Arms `timer` once, for the instant `atNs` of CLOCK_MONOTONIC.
void armAt(Player& player, spa_source* timer, std::uint64_t atNs) {
    timespec value{static_cast<time_t>(atNs / SPA_NSEC_PER_SEC), static_cast<long>(atNs % SPA_NSEC_PER_SEC)};
    timespec once{0, 0};
    pw_loop_update_timer(pw_main_loop_get_loop(player.loop), timer, &value, &once, true);
}

void disarm(Player& player, spa_source* timer) {
    timespec off{0, 0};
    pw_loop_update_timer(pw_main_loop_get_loop(player.loop), timer, &off, &off, false);
}

// Whether a mark falls in (fromNs, toNs].
bool markBetween(const Player& player, std::uint64_t fromNs, std::uint64_t toNs) {
    return player.markNs != 0 && toNs / player.markNs > fromNs / player.markNs;
}

// White in the raw formats, padding included (a white frame only needs its pixels white).
void paintWhite(std::uint8_t* data) {
    if (layout.format == SPA_VIDEO_FORMAT_YUY2) {
        for (int i = 0; i + 1 < layout.size; i += 2) {
            data[i] = 235;
            data[i + 1] = 128;
        }
    } else if (layout.format == SPA_VIDEO_FORMAT_NV12) {
        std::memset(data, 235, static_cast<std::size_t>(layout.stride) * height);
        std::memset(data + static_cast<std::ptrdiff_t>(layout.stride) * height, 128,
                    static_cast<std::size_t>(layout.size - layout.stride * height));
    } else {
        std::memset(data, 0xFF, static_cast<std::size_t>(layout.size));
    }
}

// Moving vertical bars (YUY2), or one colour; the padding after each row is 0xFF.
void paint(std::uint8_t* data, std::uint64_t frame, bool white) {
    if (layout.jpeg) {
        std::memcpy(data, layout.jpegFrame.data(), layout.jpegFrame.size());
        return;
    }
    if (white) {
        paintWhite(data);
        return;
    }
    std::memset(data, 0xFF, static_cast<std::size_t>(layout.size));
    if (layout.format == SPA_VIDEO_FORMAT_NV12) {
        for (int y = 0; y < height * 3 / 2; ++y) std::memset(data + y * layout.stride, 128, width);
        return;
    }
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = data + static_cast<std::ptrdiff_t>(y) * layout.stride;
        if (layout.format == SPA_VIDEO_FORMAT_BGRx) {
            for (int x = 0; x < width; ++x) {
                row[x * 4] = 40;
                row[x * 4 + 1] = 80;
                row[x * 4 + 2] = 160;
            }
            continue;
        }
        for (int x = 0; x < width; x += 2) {
            const auto luma = static_cast<std::uint8_t>(((x + static_cast<int>(frame)) / 16 % 2) ? 200 : 40);
            row[x * 2] = luma;
            row[x * 2 + 1] = static_cast<std::uint8_t>(90 + y / 2);
            row[x * 2 + 2] = luma;
            row[x * 2 + 3] = 160;
        }
    }
}

void produceFrame(void* data) {
    auto& player = *static_cast<Player*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(player.camera);
    if (buffer == nullptr) return;
    spa_buffer* spa = buffer->buffer;
    spa_data& plane = spa->datas[0];
    if (plane.data != nullptr && plane.maxsize >= static_cast<std::uint32_t>(layout.size)) {
        // The period that has begun: the timer wakes at the start of each, never before it. The
        // frame is stamped with that start, as a camera stamps when it captured the frame, not
        // when its frame went out.
        const std::uint64_t previous = player.frames;
        const std::uint64_t period = periodAt(monotonicNs());
        if (period > player.frames) {
            // The periods before the first frame are no loss.
            if (player.framed) {
                player.missed += period - player.frames;
                reportMissed(player);
            }
            player.frames = period;
        }
        // The first frame at or after a mark is white: the one whose period begins at it, unless
        // that period got no frame.
        const bool white =
            player.framed && markBetween(player, periodStartNs(previous - 1), periodStartNs(player.frames));
        paint(static_cast<std::uint8_t*>(plane.data), player.frames, white);
        plane.chunk->offset = 0;
        plane.chunk->stride = layout.jpeg ? 0 : layout.stride;
        plane.chunk->size = static_cast<std::uint32_t>(layout.jpeg ? layout.jpegFrame.size() : layout.size);
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
            header->pts = static_cast<std::int64_t>(periodStartNs(player.frames));
            header->flags = 0;
            header->seq = player.frames;
            header->dts_offset = 0;
        }
        ++player.frames;
        player.framed = true;
    }
    pw_stream_queue_buffer(player.camera, buffer);
}

void cameraFormatChanged(void* data, uint32_t id, const spa_pod* param) {
    auto& player = *static_cast<Player*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) return;
    std::uint8_t space[512];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, space, sizeof space);
    const spa_pod* params[2];
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_buffers, 0);
    spa_pod_builder_int(&builder, 8);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_blocks, 0);
    spa_pod_builder_int(&builder, 1);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_size, 0);
    spa_pod_builder_int(&builder, layout.size);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_stride, 0);
    spa_pod_builder_int(&builder, layout.stride);
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_type, 0);
    spa_pod_builder_id(&builder, SPA_META_Header);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_size, 0);
    spa_pod_builder_int(&builder, sizeof(spa_meta_header));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
    pw_stream_update_params(player.camera, params, 2);
}

// Arms the camera's timer for the start of the next frame period.
void armCamera(Player& player) {
    const std::uint64_t next = periodAt(monotonicNs()) + 1;
    armAt(player, player.timer, periodStartNs(next));
}

void cameraStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto& player = *static_cast<Player*>(data);
    // Frames are paced by our own timer while someone watches.
    if (state == PW_STREAM_STATE_STREAMING) {
        armCamera(player);
    } else {
        disarm(player, player.timer);
    }
}

void tick(void* data, uint64_t /*expirations*/) {
    auto& player = *static_cast<Player*>(data);
    if (pw_stream_get_state(player.camera, nullptr) != PW_STREAM_STATE_STREAMING) return;
    armCamera(player);
    pw_stream_trigger_process(player.camera);
}

double wave(double hz, std::uint64_t n) {
    return std::sin(2 * M_PI * std::fmod(hz * static_cast<double>(n) / audioRate, 1.0));
}

// Sample n of the microphone: the tone, or the burst when a mark was heard less than the burst's
// length before it.
std::int16_t sound(const Player& player, std::uint64_t n) {
    if (player.markNs != 0) {
        const double heard = player.heardNs + static_cast<double>(n) * 1e9 / player.samplesPerSecond;
        const auto markNs = static_cast<double>(player.markNs);
        // The latest mark, and the first sample heard at or after it.
        const double mark = std::floor(heard / markNs) * markNs;
        const double onset = std::ceil((mark - player.heardNs) * player.samplesPerSecond / 1e9 - 1e-6);
        if (onset >= 0 && static_cast<double>(n) - onset < burstSeconds * audioRate)
            return static_cast<std::int16_t>(burstLevel *
                                             wave(burstHz, n - static_cast<std::uint64_t>(onset)));
    }
    return static_cast<std::int16_t>(toneLevel * wave(toneHz, n));
}

// Arms the microphone's timer for when the next `block` samples will all have been heard, or for a
// moment from now when they have been already.
void armMicrophone(Player& player, std::uint32_t block) {
    const auto heard = static_cast<std::uint64_t>(std::llround(
        player.heardNs + static_cast<double>(player.audioFrames + block) * 1e9 / player.samplesPerSecond));
    armAt(player, player.microphoneTimer, std::max(heard, monotonicNs() + catchUpNs));
}

void microphoneStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto& player = *static_cast<Player*>(data);
    if (state != PW_STREAM_STATE_STREAMING) {
        disarm(player, player.microphoneTimer);
        return;
    }
    // The clock starts over, its first block heard from now on.
    player.heardNs = static_cast<double>(monotonicNs());
    player.audioFrames = 0;
    armMicrophone(player, quantum);
}

// A cycle of the microphone: once the graph's quantum of samples has been heard and a buffer is free,
// it is queued and the graph runs, stamped with now, as a sound card's driver stamps its cycles, with
// what was heard since the block's end as the clock's delay. Sound waits, as in a sound card's ring
// buffer, while the graph still holds every buffer or this process was held up; it is never dropped,
// and cycles follow each other soon until it has caught up. (The stream's process callback is no use
// here: a driving stream is not asked for data until the graph has a size for it.)
void microphoneTick(void* data, uint64_t /*expirations*/) {
    auto& player = *static_cast<Player*>(data);
    if (pw_stream_get_state(player.microphone, nullptr) != PW_STREAM_STATE_STREAMING) return;
    const std::uint64_t now = monotonicNs();
    const double heard = (static_cast<double>(now) - player.heardNs) * player.samplesPerSecond / 1e9;
    // The graph's quantum, which the session manager sets in the driver's clock.
    spa_io_position* position = player.position;
    std::uint32_t frames = quantum;
    if (position != nullptr && position->clock.duration > 0)
        frames = static_cast<std::uint32_t>(position->clock.duration);
    if (heard < static_cast<double>(player.audioFrames + frames)) {
        armMicrophone(player, frames);
        return;
    }
    pw_buffer* buffer = pw_stream_dequeue_buffer(player.microphone);
    if (buffer == nullptr) {
        armMicrophone(player, 0);
        return;
    }
    spa_data& plane = buffer->buffer->datas[0];
    if (plane.data == nullptr) {
        pw_stream_queue_buffer(player.microphone, buffer);
        armMicrophone(player, 0);
        return;
    }
    frames = std::min<std::uint32_t>(frames, plane.maxsize / sizeof(std::int16_t));
    auto* samples = static_cast<std::int16_t*>(plane.data);
    for (std::uint32_t i = 0; i < frames; ++i, ++player.audioFrames)
        samples[i] = sound(player, player.audioFrames);
    plane.chunk->offset = 0;
    plane.chunk->stride = sizeof(std::int16_t);
    plane.chunk->size = frames * sizeof(std::int16_t);
    pw_stream_queue_buffer(player.microphone, buffer);
    armMicrophone(player, frames);
    if (frames != player.cycle) {
        player.cycle = frames;
        reportMissed(player);
    }
    if (position != nullptr) {
        spa_io_clock& clock = position->clock;
        clock.nsec = now;
        clock.rate = SPA_FRACTION(1, audioRate);
        clock.position = player.audioFrames;
        clock.delay = static_cast<std::int64_t>(heard) - static_cast<std::int64_t>(player.audioFrames);
        clock.rate_diff = player.samplesPerSecond / audioRate;
    }
    pw_stream_trigger_process(player.microphone);
}

pw_stream* makeStream(Player& player, const char* name, const std::string& description,
                      const char* mediaClass, const char* mediaType, pw_stream_events& events) {
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_CLASS, mediaClass, PW_KEY_MEDIA_TYPE, mediaType, PW_KEY_NODE_NAME,
                          name, PW_KEY_NODE_DESCRIPTION, description.c_str(), nullptr);
    // A camera carries the role the desktop's camera monitors give cameras: the camera portal's
    // connection shows only nodes with it.
    if (std::string(mediaType) == "Video") pw_properties_set(props, PW_KEY_MEDIA_ROLE, "Camera");
    // The microphone's cycles are PipeWire's default quantum, 1024 samples, whatever its followers
    // ask, unless told otherwise: the sync tests count lost sound in those units.
    if (std::strcmp(mediaType, "Audio") == 0 && player.forcedQuantum > 0)
        pw_properties_setf(props, PW_KEY_NODE_FORCE_QUANTUM, "%u", player.forcedQuantum);
    pw_stream* stream =
        pw_stream_new_simple(pw_main_loop_get_loop(player.loop), name, props, &events, &player);
    return stream;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = argc > 1 ? argv[1] : "Quorvelle - Player 01";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 0;
    const std::string format = argc > 3 ? argv[3] : "YUY2";
    const double ppm = argc > 5 ? std::atof(argv[5]) : 0;
    const double markMs = argc > 6 ? std::atof(argv[6]) : 0;
    const long forced = argc > 7 ? std::atol(argv[7]) : quantum;
    if (ppm <= -1e6 || (markMs != 0 && markMs < 100) || forced < 0 || forced > 8192) return 2;
    if (format == "BGRx") {
        layout.format = SPA_VIDEO_FORMAT_BGRx;
        layout.stride = width * 4 + padding;
        layout.size = layout.stride * height;
    } else if (format == "MJPG") {
        // The BGRx colour as a JPEG picture, made once.
        layout.jpeg = true;
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
        for (std::size_t i = 0; i < pixels.size(); i += 4) {
            pixels[i] = 40;
            pixels[i + 1] = 80;
            pixels[i + 2] = 160;
        }
        tjhandle encoder = tjInitCompress();
        unsigned char* jpeg = nullptr;
        unsigned long bytes = 0;
        if (tjCompress2(encoder, pixels.data(), width, 0, height, TJPF_BGRX, &jpeg, &bytes, TJSAMP_420, 95,
                        0) != 0)
            return 1;
        layout.jpegFrame.assign(jpeg, jpeg + bytes);
        tjFree(jpeg);
        tjDestroy(encoder);
        layout.stride = 0;
        layout.size = static_cast<int>(bytes);
    } else if (format == "NV12") {
        layout.format = SPA_VIDEO_FORMAT_NV12;
        layout.stride = width + padding;
        layout.size = layout.stride * height * 3 / 2;
    }
    pw_init(&argc, &argv);
    Player player;
    player.markNs = static_cast<std::uint64_t>(std::llround(markMs * 1e6));
    player.forcedQuantum = static_cast<std::uint32_t>(forced);
    player.samplesPerSecond = audioRate * (1 + ppm / 1e6);
    player.missedFile = argc > 4 ? argv[4] : "";
    reportMissed(player);
    player.loop = pw_main_loop_new(nullptr);
    player.timer = pw_loop_add_timer(pw_main_loop_get_loop(player.loop), tick, &player);
    player.microphoneTimer = pw_loop_add_timer(pw_main_loop_get_loop(player.loop), microphoneTick, &player);

    pw_stream_events cameraEvents{};
    cameraEvents.version = PW_VERSION_STREAM_EVENTS;
    cameraEvents.process = produceFrame;
    cameraEvents.param_changed = cameraFormatChanged;
    cameraEvents.state_changed = cameraStateChanged;
    player.camera = makeStream(player, "quorvelle-test-camera", name, "Video/Source", "Video", cameraEvents);

    std::uint8_t space[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, space, sizeof space);
    spa_pod_frame object{};
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&builder, layout.jpeg ? SPA_MEDIA_SUBTYPE_mjpg : SPA_MEDIA_SUBTYPE_raw);
    if (!layout.jpeg) {
        spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
        spa_pod_builder_id(&builder, layout.format);
    }
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_rectangle(&builder, width, height);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_fraction(&builder, fps, 1);
    const auto* video = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
    pw_stream_connect(player.camera, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                      &video, 1);

    pw_stream_events microphoneEvents{};
    microphoneEvents.version = PW_VERSION_STREAM_EVENTS;
    microphoneEvents.state_changed = microphoneStateChanged;
    microphoneEvents.io_changed = [](void* data, uint32_t id, void* area, uint32_t size) {
        if (id == SPA_IO_Position)
            static_cast<Player*>(data)->position =
                size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr;
    };
    player.microphone = makeStream(player, "quorvelle-test-microphone", "Microphone (" + name + ")",
                                   "Audio/Source", "Audio", microphoneEvents);
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_audio);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(&builder, SPA_FORMAT_AUDIO_format, 0);
    spa_pod_builder_id(&builder, SPA_AUDIO_FORMAT_S16);
    spa_pod_builder_prop(&builder, SPA_FORMAT_AUDIO_rate, 0);
    spa_pod_builder_int(&builder, audioRate);
    spa_pod_builder_prop(&builder, SPA_FORMAT_AUDIO_channels, 0);
    spa_pod_builder_int(&builder, 1);
    const auto* audio = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
    pw_stream_connect(player.microphone, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                      &audio, 1);

    if (seconds > 0) {
        spa_source* stop = pw_loop_add_timer(
            pw_main_loop_get_loop(player.loop),
            [](void* data, uint64_t) { pw_main_loop_quit(static_cast<pw_main_loop*>(data)); }, player.loop);
        timespec after{static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
        pw_loop_update_timer(pw_main_loop_get_loop(player.loop), stop, &after, nullptr, false);
    }
    pw_main_loop_run(player.loop);
    pw_stream_destroy(player.microphone);
    pw_stream_destroy(player.camera);
    pw_main_loop_destroy(player.loop);
    pw_deinit();
    return 0;
}
