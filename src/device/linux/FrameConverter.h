#pragma once

#include "media/JpegCodec.h"
#include "media/PixelBuffer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv {

// Turns one captured V4L2 buffer into the helper's BGRA frame. Each capture thread owns one:
// it keeps a JPEG decoder, which is not thread-safe.
class FrameConverter {
public:
    // The layout the driver reported for the active format (VIDIOC_G_FMT).
    struct Layout {
        std::uint32_t pixelFormat = 0;
        int width = 0;
        int height = 0;
        std::size_t bytesPerLine = 0;
    };

    explicit FrameConverter(const Layout& layout);

    // True when frames of this pixel format can be converted.
    static bool supports(std::uint32_t pixelFormat);

    // The frame, or null when the data is too short, does not decode or is not of the layout's size.
    PixelBufferRef convert(const std::uint8_t* data, std::size_t size);

private:
    PixelBufferRef convertJpeg(const std::uint8_t* data, std::size_t size);
    PixelBufferRef convertRaw(const std::uint8_t* data, std::size_t size);

    Layout layout_;
    JpegCodec jpeg_;
    std::vector<std::uint8_t> opaqueRow_;
};

}  // namespace qv
