// Motion-JPEG frames as a camera delivers them: whatever bytes the driver hands over, decoded for
// the size the stream was set up with.
//
// Input: the frame. The stream's size is the one the frame's own header claims, when a camera of
// that size would be streamed at all, so that damaged data reaches the decoder; otherwise a small
// fixed size, which the frame must not get past.

#include "GuardedBytes.h"
#include "device/linux/FrameConverter.h"
#include "media/JpegCodec.h"

#include <linux/videodev2.h>

#include <cstdint>
#include <cstdlib>

namespace {

// The largest frame the engine keeps (4096 per side, 8 Mi pixels): beyond it frames are refused
// anyway, and the harness would spend its time allocating.
constexpr int largestSide = 4096;
constexpr std::int64_t largestPixels = 8'388'608;
// Beyond what scripts/fuzz lets the fuzzer make.
constexpr std::size_t largestInput = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static qvfuzz::GuardedBytes room(largestInput);
    if (size > room.capacity()) return 0;
    const std::uint8_t* frame = room.place(data, size);
    static qv::JpegCodec probe;
    int width = 16;
    int height = 16;
    if (const auto header = probe.readHeader(frame, size)) {
        if (header->width <= largestSide && header->height <= largestSide &&
            static_cast<std::int64_t>(header->width) * header->height <= largestPixels) {
            width = header->width;
            height = header->height;
        }
    }
    // V4L2_PIX_FMT_JPEG takes the same path.
    qv::FrameConverter converter({V4L2_PIX_FMT_MJPEG, width, height, 0});
    const auto picture = converter.convert(frame, size);
    if (picture && (picture->width() != width || picture->height() != height)) std::abort();
    return 0;
}
