#pragma once

#include "device/linux/V4l2Inventory.h"

#include <spa/pod/builder.h>
#include <spa/pod/pod.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace qv {

// Turning PipeWire's format descriptions (SPA pods) into the helper's terms and back. Video
// formats are named by the V4L2 pixel format of the same layout, so that the frame converter of
// the V4L2 cameras reads PipeWire's frames too.

// The V4L2 pixel format with the memory layout of an SPA raw video format; 0 when there is none
// the converter knows.
std::uint32_t pixelFormatOfSpa(std::uint32_t spaVideoFormat);

// The entries of one EnumFormat (or Format) param of a video node: one per pixel format the
// converter knows and frame size (a size range gives its two ends), each with its frame-rate
// ranges. Empty for anything else.
std::vector<V4l2Format> videoFormatsOf(const spa_pod* param);

struct PipeWireAudioFormat {
    int rate = 0;
    int channels = 0;
};

// The preferred rate and channel count of an audio node's EnumFormat or Format param.
std::optional<PipeWireAudioFormat> audioFormatOf(const spa_pod* param);

// What a capture stream asks for: exactly `format`, at any rate of its first frame-rate range.
const spa_pod* videoRequest(spa_pod_builder& builder, const V4l2Format& format);
// Signed 16-bit interleaved audio at `format`'s rate and channel count (left open when 0).
const spa_pod* audioRequest(spa_pod_builder& builder, const PipeWireAudioFormat& format);

}  // namespace qv
