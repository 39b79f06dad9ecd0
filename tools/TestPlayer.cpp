// A test player on PipeWire: a camera (Video/Source, 160 × 144 at 60 frames a second, each buffer
// stamped with its monotonic time and sequence number) and its microphone (Audio/Source, a 440 Hz
// tone, signed 16-bit mono at 48 kHz), both named after the player. It runs until it is killed,
// which unplugs both, or for the seconds given (0: until killed).
//
//   test-player [name] [seconds] [YUY2|BGRx|NV12|MJPG] [missed-file]
//
// The name is "Quorvelle - Player 01" by default. With a missed-file, the player keeps there the
// number of frame periods it could not fill (no free buffer, or the graph ran late), so that a
// test can tell its losses from a reader's where the layer in between hides them.
//
// YUY2 (the default) shows moving bars; BGRx and MJPG are one colour, red 160, green 80, blue 40,
// and NV12 one grey (Y, U and V 128). Every row is padded with 0xFF bytes beyond its pixels, so that a
// reader that ignores the stride sees them.

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
    // The frame number is the frame period the frame falls in, counted from the first frame:
    // periods that got no frame (the timer or the graph ran late) leave a gap in the sequence
    // numbers, as a real camera's lost frames do.
    std::uint64_t firstNs = 0;
    std::uint64_t frames = 0;
    std::uint64_t audioFrames = 0;
    std::uint64_t missed = 0;
    std::string missedFile;
};

std::uint64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * SPA_NSEC_PER_SEC +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// Replaces the missed-file's count at once (a rename), so a reader never sees half of it.
void reportMissed(const Player& player) {
    if (player.missedFile.empty()) return;
    const std::string scratch = player.missedFile + ".new";
    if (FILE* file = std::fopen(scratch.c_str(), "w")) {
        std::fprintf(file, "%llu\n", static_cast<unsigned long long>(player.missed));
        if (std::fclose(file) == 0) std::rename(scratch.c_str(), player.missedFile.c_str());
    }
}

// Moving vertical bars (YUY2), or one colour; the padding after each row is 0xFF.
void paint(std::uint8_t* data, std::uint64_t frame) {
    if (layout.jpeg) {
        std::memcpy(data, layout.jpegFrame.data(), layout.jpegFrame.size());
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
        const std::uint64_t now = monotonicNs();
        if (player.firstNs == 0) player.firstNs = now;
        const std::uint64_t period =
            (now - player.firstNs + SPA_NSEC_PER_SEC / fps / 2) * fps / SPA_NSEC_PER_SEC;
        if (period > player.frames) {
            player.missed += period - player.frames;
            reportMissed(player);
            player.frames = period;
        }
        paint(static_cast<std::uint8_t*>(plane.data), player.frames);
        plane.chunk->offset = 0;
        plane.chunk->stride = layout.jpeg ? 0 : layout.stride;
        plane.chunk->size = static_cast<std::uint32_t>(layout.jpeg ? layout.jpegFrame.size() : layout.size);
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
            header->pts = static_cast<std::int64_t>(now);
            header->flags = 0;
            header->seq = player.frames;
            header->dts_offset = 0;
        }
        ++player.frames;
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

void cameraStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto& player = *static_cast<Player*>(data);
    // Frames are paced by our own timer while someone watches.
    timespec interval{0, static_cast<long>(SPA_NSEC_PER_SEC / fps)};
    timespec off{0, 0};
    const bool on = state == PW_STREAM_STATE_STREAMING;
    pw_loop_update_timer(pw_main_loop_get_loop(player.loop), player.timer, on ? &interval : &off,
                         on ? &interval : &off, false);
}

void tick(void* data, uint64_t /*expirations*/) {
    pw_stream_trigger_process(static_cast<Player*>(data)->camera);
}

void produceAudio(void* data) {
    auto& player = *static_cast<Player*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(player.microphone);
    if (buffer == nullptr) return;
    spa_data& plane = buffer->buffer->datas[0];
    if (plane.data != nullptr) {
        std::uint32_t frames = plane.maxsize / sizeof(std::int16_t);
        if (buffer->requested != 0 && buffer->requested < frames)
            frames = static_cast<std::uint32_t>(buffer->requested);
        auto* samples = static_cast<std::int16_t*>(plane.data);
        for (std::uint32_t i = 0; i < frames; ++i, ++player.audioFrames) {
            const double phase = 2 * M_PI * 440.0 * static_cast<double>(player.audioFrames) / audioRate;
            samples[i] = static_cast<std::int16_t>(8000 * std::sin(phase));
        }
        plane.chunk->offset = 0;
        plane.chunk->stride = sizeof(std::int16_t);
        plane.chunk->size = frames * sizeof(std::int16_t);
    }
    pw_stream_queue_buffer(player.microphone, buffer);
}

pw_stream* makeStream(Player& player, const char* name, const std::string& description,
                      const char* mediaClass, const char* mediaType, pw_stream_events& events) {
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_CLASS, mediaClass, PW_KEY_MEDIA_TYPE, mediaType, PW_KEY_NODE_NAME,
                          name, PW_KEY_NODE_DESCRIPTION, description.c_str(), nullptr);
    // A camera carries the role the desktop's camera monitors give cameras: the camera portal's
    // connection shows only nodes with it.
    if (std::string(mediaType) == "Video") pw_properties_set(props, PW_KEY_MEDIA_ROLE, "Camera");
    pw_stream* stream =
        pw_stream_new_simple(pw_main_loop_get_loop(player.loop), name, props, &events, &player);
    return stream;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = argc > 1 ? argv[1] : "Quorvelle - Player 01";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 0;
    const std::string format = argc > 3 ? argv[3] : "YUY2";
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
    player.missedFile = argc > 4 ? argv[4] : "";
    reportMissed(player);
    player.loop = pw_main_loop_new(nullptr);
    player.timer = pw_loop_add_timer(pw_main_loop_get_loop(player.loop), tick, &player);

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
    microphoneEvents.process = produceAudio;
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
                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS), &audio, 1);

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
