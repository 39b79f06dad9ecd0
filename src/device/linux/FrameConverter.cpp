#include "device/linux/FrameConverter.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <linux/videodev2.h>

#include <new>

namespace qv {

namespace {

using PackedToBgra = int (*)(const std::uint8_t*, int, std::uint8_t*, int, int, int);

struct Packed {
    std::uint32_t pixelFormat;
    int bytesPerPixel;
    PackedToBgra convert;
    bool opaque;  // the source has no alpha: the result's alpha is set to 255
};

// libyuv names formats by their order in a 32-bit little-endian word: its "ARGB" is B, G, R, A in
// memory, "BGRA" is A, R, G, B, "ABGR" is R, G, B, A and "RGBA" is A, B, G, R.
constexpr Packed packedFormats[] = {
    {V4L2_PIX_FMT_YUYV, 2, libyuv::YUY2ToARGB, false},
    {V4L2_PIX_FMT_UYVY, 2, libyuv::UYVYToARGB, false},
    {V4L2_PIX_FMT_RGB24, 3, libyuv::RAWToARGB, false},
    {V4L2_PIX_FMT_BGR24, 3, libyuv::RGB24ToARGB, false},
    {V4L2_PIX_FMT_RGB565, 2, libyuv::RGB565ToARGB, false},
    {V4L2_PIX_FMT_ABGR32, 4, libyuv::ARGBCopy, false},
    {V4L2_PIX_FMT_XBGR32, 4, libyuv::ARGBCopy, true},
    {V4L2_PIX_FMT_ARGB32, 4, libyuv::BGRAToARGB, false},
    {V4L2_PIX_FMT_XRGB32, 4, libyuv::BGRAToARGB, true},
    {V4L2_PIX_FMT_RGBA32, 4, libyuv::ABGRToARGB, false},
    {V4L2_PIX_FMT_RGBX32, 4, libyuv::ABGRToARGB, true},
    {V4L2_PIX_FMT_BGRA32, 4, libyuv::RGBAToARGB, false},
    {V4L2_PIX_FMT_BGRX32, 4, libyuv::RGBAToARGB, true},
};

const Packed* packedFormat(std::uint32_t pixelFormat) {
    for (const auto& format : packedFormats) {
        if (format.pixelFormat == pixelFormat) return &format;
    }
    return nullptr;
}

bool isJpeg(std::uint32_t pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
}

}  // namespace

FrameConverter::FrameConverter(const Layout& layout) : layout_(layout) {
    if (layout_.width > 0) opaqueRow_.assign(static_cast<std::size_t>(layout_.width), 0xFF);
}

bool FrameConverter::supports(std::uint32_t pixelFormat) {
    return isJpeg(pixelFormat) || pixelFormat == V4L2_PIX_FMT_NV12 || pixelFormat == V4L2_PIX_FMT_YUV420 ||
           packedFormat(pixelFormat) != nullptr;
}

PixelBufferRef FrameConverter::convert(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size == 0 || layout_.width <= 0 || layout_.height <= 0) return nullptr;
    try {
        return isJpeg(layout_.pixelFormat) ? convertJpeg(data, size) : convertRaw(data, size);
    } catch (const std::bad_alloc&) {
        // This runs on a capture thread, where an escaping exception would end the process.
        return nullptr;
    }
}

PixelBufferRef FrameConverter::convertJpeg(const std::uint8_t* data, std::size_t size) {
    // A camera's JPEG may carry a damaged tail or no Huffman tables. Its header is checked against
    // the streamed format first: a damaged one must not decide how much memory a frame takes.
    const auto header = jpeg_.readHeader(data, size);
    if (!header || header->width != layout_.width || header->height != layout_.height) return nullptr;
    return jpeg_.decode(data, size, true);
}

PixelBufferRef FrameConverter::convertRaw(const std::uint8_t* data, std::size_t size) {
    const int width = layout_.width;
    const int height = layout_.height;
    const std::size_t stride = layout_.bytesPerLine;
    const auto frame = PixelBuffer::create(width, height);
    const int dstStride = static_cast<int>(frame->bytesPerRow());
    const auto h = static_cast<std::size_t>(height);

    if (layout_.pixelFormat == V4L2_PIX_FMT_NV12 || layout_.pixelFormat == V4L2_PIX_FMT_YUV420) {
        // Single-plane 4:2:0: the chroma follows the luma, with the luma's stride (NV12) or half
        // of it (I420).
        const std::size_t lumaStride = stride != 0 ? stride : static_cast<std::size_t>(width);
        const std::size_t chromaRows = (h + 1) / 2;
        const std::uint8_t* luma = data;
        const std::uint8_t* chroma = data + lumaStride * h;
        if (layout_.pixelFormat == V4L2_PIX_FMT_NV12) {
            if (size < lumaStride * h + lumaStride * chromaRows) return nullptr;
            if (libyuv::NV12ToARGB(luma, static_cast<int>(lumaStride), chroma, static_cast<int>(lumaStride),
                                   frame->data(), dstStride, width, height) != 0) {
                return nullptr;
            }
            return frame;
        }
        const std::size_t planeStride = lumaStride / 2;
        if (size < lumaStride * h + 2 * planeStride * chromaRows) return nullptr;
        const std::uint8_t* cr = chroma + planeStride * chromaRows;
        if (libyuv::I420ToARGB(luma, static_cast<int>(lumaStride), chroma, static_cast<int>(planeStride), cr,
                               static_cast<int>(planeStride), frame->data(), dstStride, width, height) != 0) {
            return nullptr;
        }
        return frame;
    }

    const Packed* packed = packedFormat(layout_.pixelFormat);
    if (packed == nullptr) return nullptr;
    const std::size_t rowBytes =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(packed->bytesPerPixel);
    const std::size_t srcStride = stride >= rowBytes ? stride : rowBytes;
    // The last row needs only its pixels, not its padding.
    if (size < srcStride * (h - 1) + rowBytes) return nullptr;
    if (packed->convert(data, static_cast<int>(srcStride), frame->data(), dstStride, width, height) != 0) {
        return nullptr;
    }
    if (packed->opaque) {
        // A stride of 0 repeats the one opaque row for every row.
        libyuv::ARGBCopyYToAlpha(opaqueRow_.data(), 0, frame->data(), dstStride, width, height);
    }
    return frame;
}

}  // namespace qv
