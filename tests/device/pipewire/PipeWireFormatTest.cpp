#include "device/pipewire/PipeWireFormat.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <spa/param/audio/format.h>
#include <spa/param/video/format.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace {

// One EnumFormat param, its properties written by `body`.
struct Param {
    std::uint8_t space[1024];
    spa_pod_builder builder{};
    const spa_pod* pod = nullptr;

    Param(std::uint32_t mediaType, std::uint32_t subtype, const std::function<void(spa_pod_builder&)>& body) {
        spa_pod_builder_init(&builder, space, sizeof space);
        spa_pod_frame object{};
        spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
        spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
        spa_pod_builder_id(&builder, mediaType);
        spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
        spa_pod_builder_id(&builder, subtype);
        body(builder);
        pod = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
    }
};

// A property whose value is a choice of `kind` among `values`, each written by `write`.
template <typename T>
void choice(spa_pod_builder& b, std::uint32_t key, std::uint32_t kind, const std::vector<T>& values,
            void (*write)(spa_pod_builder&, const T&)) {
    spa_pod_builder_prop(&b, key, 0);
    spa_pod_frame frame{};
    spa_pod_builder_push_choice(&b, &frame, kind, 0);
    for (const auto& value : values) write(b, value);
    spa_pod_builder_pop(&b, &frame);
}

void id(spa_pod_builder& b, const std::uint32_t& value) {
    spa_pod_builder_id(&b, value);
}
void size(spa_pod_builder& b, const spa_rectangle& value) {
    spa_pod_builder_rectangle(&b, value.width, value.height);
}
void rate(spa_pod_builder& b, const spa_fraction& value) {
    spa_pod_builder_fraction(&b, value.num, value.denom);
}
void integer(spa_pod_builder& b, const int& value) {
    spa_pod_builder_int(&b, value);
}

std::vector<qv::V4l2FrameRateRange> ranges(std::initializer_list<std::pair<double, double>> list) {
    std::vector<qv::V4l2FrameRateRange> result;
    for (const auto& [low, high] : list) result.push_back({low, high});
    return result;
}

// Compared as (pixel format, width, height, [min, max]...).
std::vector<std::vector<double>> flat(const std::vector<qv::V4l2Format>& formats) {
    std::vector<std::vector<double>> rows;
    for (const auto& f : formats) {
        std::vector<double> row{static_cast<double>(f.pixelFormat), double(f.width), double(f.height)};
        for (const auto& r : f.ranges) row.insert(row.end(), {r.minFps, r.maxFps});
        rows.push_back(row);
    }
    return rows;
}

}  // namespace

TEST(PipeWireFormat, VideoFormatsAreTheConvertibleFormatsTimesEachSizeWithTheirRates) {
    // An enumeration's first value is the preferred one, repeated among the alternatives; a format
    // the converter does not know is left out; a size range gives its two ends.
    const Param raw(SPA_MEDIA_TYPE_video, SPA_MEDIA_SUBTYPE_raw, [](spa_pod_builder& b) {
        choice<std::uint32_t>(
            b, SPA_FORMAT_VIDEO_format, SPA_CHOICE_Enum,
            {SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_Y41B, SPA_VIDEO_FORMAT_BGRx}, id);
        choice<spa_rectangle>(b, SPA_FORMAT_VIDEO_size, SPA_CHOICE_Range,
                              {{320, 240}, {160, 144}, {640, 480}}, size);
        choice<spa_fraction>(b, SPA_FORMAT_VIDEO_framerate, SPA_CHOICE_Range, {{30, 1}, {0, 1}, {60, 1}},
                             rate);
    });
    EXPECT_EQ(flat(qv::videoFormatsOf(raw.pod)), flat({{V4L2_PIX_FMT_YUYV, 160, 144, ranges({{0, 60}})},
                                                       {V4L2_PIX_FMT_YUYV, 640, 480, ranges({{0, 60}})},
                                                       {V4L2_PIX_FMT_XBGR32, 160, 144, ranges({{0, 60}})},
                                                       {V4L2_PIX_FMT_XBGR32, 640, 480, ranges({{0, 60}})}}));

    const Param jpeg(SPA_MEDIA_TYPE_video, SPA_MEDIA_SUBTYPE_mjpg, [](spa_pod_builder& b) {
        spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
        spa_pod_builder_rectangle(&b, 1280, 720);
        choice<spa_fraction>(b, SPA_FORMAT_VIDEO_framerate, SPA_CHOICE_Enum,
                             {{30, 1}, {30, 1}, {15, 1}, {30000, 1001}}, rate);
    });
    EXPECT_EQ(flat(qv::videoFormatsOf(jpeg.pod)),
              flat({{V4L2_PIX_FMT_MJPEG, 1280, 720,
                     ranges({{30, 30}, {15, 15}, {30000.0 / 1001, 30000.0 / 1001}})}}));

    // Neither video nor a subtype the helper reads.
    const Param audio(SPA_MEDIA_TYPE_audio, SPA_MEDIA_SUBTYPE_raw, [](spa_pod_builder&) {});
    const Param h264(SPA_MEDIA_TYPE_video, SPA_MEDIA_SUBTYPE_h264, [](spa_pod_builder& b) {
        spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
        spa_pod_builder_rectangle(&b, 1280, 720);
    });
    EXPECT_TRUE(qv::videoFormatsOf(audio.pod).empty());
    EXPECT_TRUE(qv::videoFormatsOf(h264.pod).empty());
    EXPECT_TRUE(qv::videoFormatsOf(nullptr).empty());
}

TEST(PipeWireFormat, AStreamRequestReadsBackAsTheFormatItAsksFor) {
    for (const auto& format : {qv::V4l2Format{V4L2_PIX_FMT_YUYV, 160, 144, ranges({{60, 60}})},
                               qv::V4l2Format{V4L2_PIX_FMT_NV12, 640, 480, ranges({{5, 30}})},
                               qv::V4l2Format{V4L2_PIX_FMT_MJPEG, 1920, 1080, ranges({{29.97, 29.97}})}}) {
        std::uint8_t space[1024];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, space, sizeof space);
        EXPECT_EQ(flat(qv::videoFormatsOf(qv::videoRequest(builder, format))), flat({format}));
    }
}

TEST(PipeWireFormat, AudioTakesThePreferredRateAndChannelCount) {
    const Param offered(SPA_MEDIA_TYPE_audio, SPA_MEDIA_SUBTYPE_raw, [](spa_pod_builder& b) {
        choice<int>(b, SPA_FORMAT_AUDIO_rate, SPA_CHOICE_Range, {44100, 8000, 96000}, integer);
        spa_pod_builder_prop(&b, SPA_FORMAT_AUDIO_channels, 0);
        spa_pod_builder_int(&b, 2);
    });
    const auto format = qv::audioFormatOf(offered.pod);
    ASSERT_TRUE(format);
    EXPECT_EQ(std::make_pair(format->rate, format->channels), std::make_pair(44100, 2));

    std::uint8_t space[512];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, space, sizeof space);
    const auto requested = qv::audioFormatOf(qv::audioRequest(builder, {48000, 1}));
    ASSERT_TRUE(requested);
    EXPECT_EQ(std::make_pair(requested->rate, requested->channels), std::make_pair(48000, 1));

    const Param video(SPA_MEDIA_TYPE_video, SPA_MEDIA_SUBTYPE_raw, [](spa_pod_builder&) {});
    EXPECT_FALSE(qv::audioFormatOf(video.pod));
}
