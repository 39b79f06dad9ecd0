// Raw V4L2 buffers of every supported uncompressed pixel format, with the width, height and
// stride a driver could report (any 32-bit values) and buffers of any length.
//
// Input: format selector (1 byte), width, height, bytesPerLine (4 bytes each, little-endian), then
// the buffer.

#include "GuardedBytes.h"
#include "device/linux/FrameConverter.h"

#include <linux/videodev2.h>

#include <cstdlib>
#include <cstring>

namespace {

// JPEG formats have their own harness, which keeps the size a header may claim within reach.
constexpr std::uint32_t formats[] = {
    V4L2_PIX_FMT_YUYV,   V4L2_PIX_FMT_UYVY,   V4L2_PIX_FMT_RGB24,  V4L2_PIX_FMT_BGR24,  V4L2_PIX_FMT_RGB565,
    V4L2_PIX_FMT_ABGR32, V4L2_PIX_FMT_XBGR32, V4L2_PIX_FMT_ARGB32, V4L2_PIX_FMT_XRGB32, V4L2_PIX_FMT_RGBA32,
    V4L2_PIX_FMT_RGBX32, V4L2_PIX_FMT_BGRA32, V4L2_PIX_FMT_BGRX32, V4L2_PIX_FMT_NV12,   V4L2_PIX_FMT_YUV420,
};
constexpr std::size_t headerSize = 13;
// Beyond what scripts/fuzz lets the fuzzer make.
constexpr std::size_t largestInput = 1 << 20;

std::uint32_t word(const std::uint8_t* bytes) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < headerSize) return 0;
    const std::uint32_t format = formats[data[0] % std::size(formats)];
    if (!qv::FrameConverter::supports(format)) std::abort();
    // As the capture thread takes them from VIDIOC_G_FMT.
    const qv::FrameConverter::Layout layout{format, static_cast<int>(word(data + 1)),
                                            static_cast<int>(word(data + 5)), word(data + 9)};
    static qvfuzz::GuardedBytes room(largestInput);
    const std::size_t length = size - headerSize;
    if (length > room.capacity()) return 0;
    const std::uint8_t* buffer = room.place(data + headerSize, length);
    qv::FrameConverter converter(layout);
    // Twice: the converter keeps state between frames of one stream.
    for (int i = 0; i < 2; ++i) {
        const auto frame = converter.convert(buffer, length);
        if (frame && (frame->width() != layout.width || frame->height() != layout.height)) std::abort();
    }
    return 0;
}
