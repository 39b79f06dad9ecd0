#include "device/pipewire/PipeWireInput.h"

#include "base/Clock.h"
#include "device/AudioDataOutput.h"
#include "device/VideoDataOutput.h"
#include "device/linux/FrameConverter.h"

#include <linux/videodev2.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/dict.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace qv {

namespace {

// How long a stream may take to reach the node and start; the session's own start bound is longer.
constexpr double startSeconds = 10.0;
// How long the capture thread waits before it looks at its stop flag again.
constexpr double watchStepSeconds = 0.1;
// A buffer's own timestamp is trusted when it lies this close before its arrival.
constexpr double timestampWindowSeconds = 1.0;
// Larger sequence gaps are a restarted producer, not lost frames.
constexpr std::uint32_t largestGap = 1000;
// The microphone's cycle, in samples (see connectStream).
constexpr int cycleFrames = 1024;

class PipeWireCore final : public DeviceInput::Core {
public:
    PipeWireCore(std::unique_ptr<PipeWireConnection> connection, PipeWireNode node)
        : connection_(std::move(connection)), node_(std::move(node)) {}
    ~PipeWireCore() override { close(); }

    Start prepare(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) override {
        if (!connection_) return Start::refused;
        video_ = node_.media == MediaType::video ? findOutput<VideoDataOutput>(outputs) : nullptr;
        audio_ = node_.media == MediaType::audio ? findOutput<AudioDataOutput>(outputs) : nullptr;
        if (!video_ && !audio_) return Start::idle;
        if (video_ && !node_.active) return Start::refused;

        PipeWireConnection::Lock lock(*connection_);
        if (!watchNode() || !connectStream()) return Start::refused;
        if (!connection_->waitFor([this] { return streaming_ || ended_; }, startSeconds) || ended_) {
            destroyStream();
            return Start::refused;
        }
        return Start::stream;
    }

    void run(const std::atomic<bool>& stopRequested) override {
        PipeWireConnection::Lock lock(*connection_);
        while (!stopRequested.load()) {
            connection_->waitFor([this] { return ended_; }, watchStepSeconds);
            if (ended_ || connection_->failed()) {
                unplugged.store(true);
                break;
            }
        }
        if (stream_ != nullptr) pw_stream_disconnect(stream_);
    }

    bool close() override {
        if (!connection_) return true;
        {
            PipeWireConnection::Lock lock(*connection_);
            destroyStream();
            if (registry_ != nullptr) {
                spa_hook_remove(&registryListener_);
                pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
                registry_ = nullptr;
            }
        }
        connection_.reset();
        return true;
    }

private:
    // Follows the registry so that the node's removal is seen; false when the node is not there.
    bool watchNode() {
        registry_ = pw_core_get_registry(connection_->core(), PW_VERSION_REGISTRY, 0);
        if (registry_ == nullptr) return false;
        registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
        registryEvents_.global = [](void* data, uint32_t id, uint32_t, const char*, uint32_t,
                                    const spa_dict* props) {
            auto* self = static_cast<PipeWireCore*>(data);
            const char* serial = props != nullptr ? spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL) : nullptr;
            if (serial != nullptr && self->node_.serial == serial) self->nodeId_ = id;
        };
        registryEvents_.global_remove = [](void* data, uint32_t id) {
            auto* self = static_cast<PipeWireCore*>(data);
            if (self->nodeId_ && *self->nodeId_ == id) self->end();
        };
        pw_registry_add_listener(registry_, &registryListener_, &registryEvents_, this);
        return connection_->roundTrip(startSeconds) && nodeId_.has_value();
    }

    bool connectStream() {
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, node_.media == MediaType::video ? "Video" : "Audio", PW_KEY_MEDIA_CATEGORY,
            "Capture", PW_KEY_MEDIA_ROLE, node_.media == MediaType::video ? "Camera" : "Communication",
            PW_KEY_TARGET_OBJECT, node_.serial.c_str(), PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
        if (node_.media == MediaType::audio) {
            // Cycles of 1024 samples, a desktop's usual quantum. Asking for the 10 ms blocks of the
            // other microphones would make the graph run 256-sample cycles, which a busy machine
            // misses; sound lost in such short pieces is below what the recording fills as a gap, so
            // it would drift. A recording has no use for the lower latency.
            const int rate = node_.audio.rate > 0 ? node_.audio.rate : 48000;
            pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%d/%d", cycleFrames, rate);
        }
        stream_ = pw_stream_new(connection_->core(), "quorvelle-capture", props);
        if (stream_ == nullptr) return false;
        streamEvents_.version = PW_VERSION_STREAM_EVENTS;
        streamEvents_.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
            auto* self = static_cast<PipeWireCore*>(data);
            if (state == PW_STREAM_STATE_STREAMING) self->streaming_ = true;
            if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && self->streaming_))
                self->end();
            self->connection_->signal();
        };
        streamEvents_.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
            if (id == SPA_PARAM_Format && param != nullptr)
                static_cast<PipeWireCore*>(data)->formatChanged(param);
        };
        streamEvents_.process = [](void* data) { static_cast<PipeWireCore*>(data)->process(); };
        pw_stream_add_listener(stream_, &streamListener_, &streamEvents_, this);

        std::uint8_t space[1024];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, space, sizeof space);
        const spa_pod* request = node_.media == MediaType::video ? videoRequest(builder, *node_.active)
                                                                 : audioRequest(builder, node_.audio);
        const auto flags = static_cast<pw_stream_flags>(
            PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_DONT_RECONNECT);
        return pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, &request, 1) == 0;
    }

    void destroyStream() {
        if (stream_ == nullptr) return;
        spa_hook_remove(&streamListener_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }

    void end() {
        ended_ = true;
        connection_->signal();
    }

    void formatChanged(const spa_pod* param) {
        std::uint32_t mediaType = 0;
        std::uint32_t mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0) return;
        if (node_.media == MediaType::audio) {
            spa_audio_info_raw info{};
            if (spa_format_audio_raw_parse(param, &info) >= 0 && info.format == SPA_AUDIO_FORMAT_S16)
                audioFormat_ = AudioFormat{static_cast<int>(info.rate), static_cast<int>(info.channels)};
            return;
        }
        layout_ = FrameConverter::Layout{};
        if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
            spa_video_info_mjpg info{};
            if (spa_format_video_mjpg_parse(param, &info) < 0) return;
            layout_ = {V4L2_PIX_FMT_MJPEG, static_cast<int>(info.size.width),
                       static_cast<int>(info.size.height), 0};
        } else {
            spa_video_info_raw info{};
            if (spa_format_video_raw_parse(param, &info) < 0) return;
            layout_ = {pixelFormatOfSpa(info.format), static_cast<int>(info.size.width),
                       static_cast<int>(info.size.height), 0};
        }
        converter_.reset();
        // Ask for each buffer's header: it carries the frame's timestamp and sequence number.
        std::uint8_t space[256];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, space, sizeof space);
        spa_pod_frame object{};
        spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
        spa_pod_builder_prop(&builder, SPA_PARAM_META_type, 0);
        spa_pod_builder_id(&builder, SPA_META_Header);
        spa_pod_builder_prop(&builder, SPA_PARAM_META_size, 0);
        spa_pod_builder_int(&builder, sizeof(spa_meta_header));
        const auto* meta = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
        pw_stream_update_params(stream_, &meta, 1);
    }

    void process() {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
        if (buffer == nullptr) return;
        const spa_buffer* data = buffer->buffer;
        if (data->n_datas > 0 && data->datas[0].data != nullptr && data->datas[0].chunk != nullptr) {
            const spa_data& plane = data->datas[0];
            const std::uint32_t offset = std::min(plane.chunk->offset, plane.maxsize);
            const std::uint32_t size = std::min(plane.chunk->size, plane.maxsize - offset);
            const auto* bytes = static_cast<const std::uint8_t*>(plane.data) + offset;
            const auto* header = static_cast<const spa_meta_header*>(
                spa_buffer_find_meta_data(data, SPA_META_Header, sizeof(spa_meta_header)));
            if (video_) {
                handleVideo(bytes, size, plane.chunk->stride, plane.chunk->flags, header);
            } else {
                handleAudio(bytes, size);
            }
        }
        pw_stream_queue_buffer(stream_, buffer);
    }

    void handleVideo(const std::uint8_t* bytes, std::uint32_t size, std::int32_t stride,
                     std::int32_t chunkFlags, const spa_meta_header* header) {
        if (header != nullptr) {
            if (lastSequence_) {
                const std::uint64_t gap = header->seq - *lastSequence_ - 1;
                if (gap <= largestGap) reportDrops(static_cast<std::uint32_t>(gap));
            }
            lastSequence_ = header->seq;
        }
        const bool corrupted = (header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) ||
                               (chunkFlags & SPA_CHUNK_FLAG_CORRUPTED) != 0;
        if (corrupted || layout_.pixelFormat == 0) {
            reportDrops(1);
            return;
        }
        if (!delivering.load()) return;
        const auto bytesPerLine = static_cast<std::size_t>(std::max(stride, 0));
        if (!converter_ || layout_.bytesPerLine != bytesPerLine) {
            layout_.bytesPerLine = bytesPerLine;
            converter_.emplace(layout_);
        }
        auto frame = converter_->convert(bytes, size);
        if (!frame) {
            reportDrops(1);
            return;
        }
        const double now = mono();
        double time = now;
        if (header != nullptr && header->pts > 0) {
            const double stamped = static_cast<double>(header->pts) / SPA_NSEC_PER_SEC;
            if (stamped <= now && now - stamped < timestampWindowSeconds) time = stamped;
        }
        if (lastTime_ && time <= *lastTime_) time = std::nextafter(*lastTime_, *lastTime_ + 1);
        lastTime_ = time;
        video_->deliver(std::move(frame), time);
    }

    void reportDrops(std::uint32_t count) {
        if (!delivering.load()) return;
        for (std::uint32_t i = 0; i < count; ++i) video_->reportDropped();
    }

    void handleAudio(const std::uint8_t* bytes, std::uint32_t size) {
        if (!audioFormat_ || audioFormat_->channels <= 0 || audioFormat_->sampleRate <= 0) return;
        AudioSample sample;
        sample.format = *audioFormat_;
        const std::size_t frameBytes =
            sizeof(std::int16_t) * static_cast<std::size_t>(sample.format.channels);
        const std::size_t frames = size / frameBytes;
        if (frames == 0) return;
        sample.samples.resize(frames * static_cast<std::size_t>(sample.format.channels));
        std::memcpy(sample.samples.data(), bytes, frames * frameBytes);
        // The block ends where the graph's cycle began, by the driver's own monotonic clock, which
        // does not wait on this thread's wake-up; without it, where the block arrived. Each block is
        // stamped so, not laid after the previous one by its sample count: the recording follows the
        // stamps, smooths their jitter and resamples away the microphone's clock error, whereas a
        // count trusted until it drifts too far and then reset turns that error into jumps.
        const double length = static_cast<double>(frames) / sample.format.sampleRate;
        const double now = mono();
        double end = now;
        pw_time graph{};
        if (pw_stream_get_time_n(stream_, &graph, sizeof graph) == 0 && graph.now > 0) {
            const double cycle = static_cast<double>(graph.now) / SPA_NSEC_PER_SEC;
            if (cycle <= now && now - cycle < timestampWindowSeconds) end = cycle;
        }
        double time = end - length;
        if (lastTime_ && time <= *lastTime_) time = std::nextafter(*lastTime_, *lastTime_ + 1);
        lastTime_ = time;
        sample.presentationTime = time;
        if (delivering.load()) audio_->deliver(std::move(sample));
    }

    std::unique_ptr<PipeWireConnection> connection_;
    PipeWireNode node_;
    std::shared_ptr<VideoDataOutput> video_;
    std::shared_ptr<AudioDataOutput> audio_;

    // Under the connection's lock.
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    pw_registry_events registryEvents_{};
    std::optional<std::uint32_t> nodeId_;
    pw_stream* stream_ = nullptr;
    spa_hook streamListener_{};
    pw_stream_events streamEvents_{};
    bool streaming_ = false;
    bool ended_ = false;

    // On the loop thread.
    FrameConverter::Layout layout_;
    std::optional<FrameConverter> converter_;
    std::optional<AudioFormat> audioFormat_;
    std::optional<std::uint64_t> lastSequence_;
    std::optional<double> lastTime_;
};

}  // namespace

PipeWireInput::PipeWireInput(CaptureDeviceRef device, std::unique_ptr<PipeWireConnection> connection,
                             PipeWireNode node)
    : DeviceInput(std::move(device), "qv.pipewire",
                  std::make_shared<PipeWireCore>(std::move(connection), std::move(node))) {}

}  // namespace qv
