#include "device/pipewire/PipeWireFormat.h"

#include <linux/videodev2.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format.h>
#include <spa/pod/iter.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace qv {

namespace {

// The values a property offers: its one value, an enumeration's alternatives, or a range's two
// ends (`isRange` tells which).
template <typename T>
std::vector<T> offered(const spa_pod* param, std::uint32_t key, std::uint32_t type, bool& isRange) {
    isRange = false;
    const spa_pod_prop* prop = spa_pod_find_prop(param, nullptr, key);
    if (prop == nullptr) return {};
    std::uint32_t count = 0;
    std::uint32_t choice = SPA_CHOICE_None;
    const spa_pod* values = spa_pod_get_values(&prop->value, &count, &choice);
    if (values->type != type || values->size < sizeof(T) || count == 0) return {};
    const auto* items = static_cast<const T*>(SPA_POD_BODY_CONST(values));
    switch (choice) {
        case SPA_CHOICE_None:
            return {items[0]};
        case SPA_CHOICE_Enum:
            // The first value is the preferred one; the alternatives follow it.
            return count > 1 ? std::vector<T>(items + 1, items + count) : std::vector<T>{items[0]};
        case SPA_CHOICE_Range:
        case SPA_CHOICE_Step:
            if (count < 3) return {};
            isRange = true;
            return {items[1], items[2]};
        default:
            return {};
    }
}

double rate(const spa_fraction& fraction) {
    return fraction.denom == 0 ? 0 : static_cast<double>(fraction.num) / fraction.denom;
}

constexpr std::pair<std::uint32_t, std::uint32_t> spaToV4l2[] = {
    {SPA_VIDEO_FORMAT_YUY2, V4L2_PIX_FMT_YUYV},
    {SPA_VIDEO_FORMAT_UYVY, V4L2_PIX_FMT_UYVY},
    {SPA_VIDEO_FORMAT_NV12, V4L2_PIX_FMT_NV12},
    {SPA_VIDEO_FORMAT_I420, V4L2_PIX_FMT_YUV420},
    // SPA names bytes in memory order; V4L2's 32-bit names read the other way round.
    {SPA_VIDEO_FORMAT_BGRx, V4L2_PIX_FMT_XBGR32},
    {SPA_VIDEO_FORMAT_BGRA, V4L2_PIX_FMT_ABGR32},
    {SPA_VIDEO_FORMAT_RGBx, V4L2_PIX_FMT_RGBX32},
    {SPA_VIDEO_FORMAT_RGBA, V4L2_PIX_FMT_RGBA32},
    {SPA_VIDEO_FORMAT_xRGB, V4L2_PIX_FMT_BGRX32},
    {SPA_VIDEO_FORMAT_ARGB, V4L2_PIX_FMT_BGRA32},
    {SPA_VIDEO_FORMAT_xBGR, V4L2_PIX_FMT_XRGB32},
    {SPA_VIDEO_FORMAT_ABGR, V4L2_PIX_FMT_ARGB32},
    {SPA_VIDEO_FORMAT_RGB, V4L2_PIX_FMT_RGB24},
    {SPA_VIDEO_FORMAT_BGR, V4L2_PIX_FMT_BGR24},
};

std::uint32_t spaOfPixelFormat(std::uint32_t pixelFormat) {
    for (const auto& [spa, v4l2] : spaToV4l2) {
        if (v4l2 == pixelFormat) return spa;
    }
    return SPA_VIDEO_FORMAT_UNKNOWN;
}

}  // namespace

std::uint32_t pixelFormatOfSpa(std::uint32_t spaVideoFormat) {
    for (const auto& [spa, v4l2] : spaToV4l2) {
        if (spa == spaVideoFormat) return v4l2;
    }
    return 0;
}

std::vector<V4l2Format> videoFormatsOf(const spa_pod* param) {
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (param == nullptr || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video)
        return {};
    bool isRange = false;
    std::vector<std::uint32_t> pixelFormats;
    if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
        pixelFormats.push_back(V4L2_PIX_FMT_MJPEG);
    } else if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw) {
        for (const auto format :
             offered<std::uint32_t>(param, SPA_FORMAT_VIDEO_format, SPA_TYPE_Id, isRange)) {
            if (const auto pixelFormat = pixelFormatOfSpa(format); pixelFormat != 0 && !isRange)
                pixelFormats.push_back(pixelFormat);
        }
    }
    const auto sizes = offered<spa_rectangle>(param, SPA_FORMAT_VIDEO_size, SPA_TYPE_Rectangle, isRange);
    std::vector<V4l2FrameRateRange> ranges;
    const auto rates = offered<spa_fraction>(param, SPA_FORMAT_VIDEO_framerate, SPA_TYPE_Fraction, isRange);
    if (isRange) {
        ranges.push_back({rate(rates[0]), rate(rates[1])});
    } else {
        for (const auto& fraction : rates) ranges.push_back({rate(fraction), rate(fraction)});
    }
    std::vector<V4l2Format> formats;
    for (const auto pixelFormat : pixelFormats) {
        for (const auto& size : sizes) {
            if (size.width == 0 || size.height == 0) continue;
            formats.push_back(
                {pixelFormat, static_cast<int>(size.width), static_cast<int>(size.height), ranges});
        }
    }
    return formats;
}

std::optional<PipeWireAudioFormat> audioFormatOf(const spa_pod* param) {
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (param == nullptr || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
        return std::nullopt;
    // The preferred value: the first of any choice.
    const auto preferred = [&](std::uint32_t key) {
        const spa_pod_prop* prop = spa_pod_find_prop(param, nullptr, key);
        if (prop == nullptr) return 0;
        std::uint32_t count = 0;
        std::uint32_t choice = 0;
        const spa_pod* values = spa_pod_get_values(&prop->value, &count, &choice);
        if (values->type != SPA_TYPE_Int || count == 0) return 0;
        return *static_cast<const std::int32_t*>(SPA_POD_BODY_CONST(values));
    };
    PipeWireAudioFormat format{preferred(SPA_FORMAT_AUDIO_rate), preferred(SPA_FORMAT_AUDIO_channels)};
    if (format.rate < 0 || format.channels < 0) return std::nullopt;
    return format;
}

const spa_pod* videoRequest(spa_pod_builder& builder, const V4l2Format& format) {
    spa_pod_frame object{};
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
    const bool jpeg = format.pixelFormat == V4L2_PIX_FMT_MJPEG;
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&builder, jpeg ? SPA_MEDIA_SUBTYPE_mjpg : SPA_MEDIA_SUBTYPE_raw);
    if (!jpeg) {
        spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
        spa_pod_builder_id(&builder, spaOfPixelFormat(format.pixelFormat));
    }
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_rectangle(&builder, static_cast<std::uint32_t>(format.width),
                              static_cast<std::uint32_t>(format.height));
    if (!format.ranges.empty()) {
        // Rates as fractions over 1000 keep 59.94 and the like.
        const auto milli = [](double fps) { return static_cast<std::uint32_t>(std::lround(fps * 1000)); };
        const auto& range = format.ranges.front();
        spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
        spa_pod_frame choice{};
        spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
        spa_pod_builder_fraction(&builder, milli(range.maxFps), 1000);
        spa_pod_builder_fraction(&builder, milli(range.minFps), 1000);
        spa_pod_builder_fraction(&builder, milli(range.maxFps), 1000);
        spa_pod_builder_pop(&builder, &choice);
    }
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

const spa_pod* audioRequest(spa_pod_builder& builder, const PipeWireAudioFormat& format) {
    // Rate and channel count only where the node named them; no channel positions, as a mono or
    // stereo microphone's are all we take.
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16;
    info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
    info.rate = static_cast<std::uint32_t>(std::max(format.rate, 0));
    info.channels = static_cast<std::uint32_t>(std::max(format.channels, 0));
    return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

}  // namespace qv
