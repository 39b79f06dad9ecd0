#include "device/linux/FrameConverter.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <linux/videodev2.h>

#include <climits>
#include <new>

namespace qv {

namespace {

using PackedToBgra = int (*)(const std::uint8_t*, int, std::uint8_t*, int, int, int);

struct Packed {
    std::uint32_t pixelFormat;
    // Pixels share their bytes in groups: 4:2:2 keeps two pixels in four bytes.
    int groupPixels;
    int groupBytes;
    PackedToBgra convert;
    bool opaque;  // the source has no alpha: the result's alpha is set to 255
};

// libyuv names formats by their order in a 32-bit little-endian word: its "ARGB" is B, G, R, A in
// memory, "BGRA" is A, R, G, B, "ABGR" is R, G, B, A and "RGBA" is A, B, G, R.
constexpr Packed packedFormats[] = {
    {V4L2_PIX_FMT_YUYV, 2, 4, libyuv::YUY2ToARGB, false},
    {V4L2_PIX_FMT_UYVY, 2, 4, libyuv::UYVYToARGB, false},
    {V4L2_PIX_FMT_RGB24, 1, 3, libyuv::RAWToARGB, false},
    {V4L2_PIX_FMT_BGR24, 1, 3, libyuv::RGB24ToARGB, false},
    {V4L2_PIX_FMT_RGB565, 1, 2, libyuv::RGB565ToARGB, false},
    {V4L2_PIX_FMT_ABGR32, 1, 4, libyuv::ARGBCopy, false},
    {V4L2_PIX_FMT_XBGR32, 1, 4, libyuv::ARGBCopy, true},
    {V4L2_PIX_FMT_ARGB32, 1, 4, libyuv::BGRAToARGB, false},
    {V4L2_PIX_FMT_XRGB32, 1, 4, libyuv::BGRAToARGB, true},
    {V4L2_PIX_FMT_RGBA32, 1, 4, libyuv::ABGRToARGB, false},
    {V4L2_PIX_FMT_RGBX32, 1, 4, libyuv::ABGRToARGB, true},
    {V4L2_PIX_FMT_BGRA32, 1, 4, libyuv::RGBAToARGB, false},
    {V4L2_PIX_FMT_BGRX32, 1, 4, libyuv::RGBAToARGB, true},
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

FrameConverter::FrameConverter(const Layout& layout) : layout_(layout) {}

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
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    const std::size_t stride = layout_.bytesPerLine;
    // libyuv takes strides as int. Each path measures the buffer against the layout before the
    // frame is allocated, so a size the driver claims cannot take memory for data that is not there.
    if (stride > static_cast<std::size_t>(INT_MAX)) return nullptr;

    if (layout_.pixelFormat == V4L2_PIX_FMT_NV12 || layout_.pixelFormat == V4L2_PIX_FMT_YUV420) {
        // Single-plane 4:2:0: the chroma follows the luma, with the luma's stride (NV12) or half
        // of it (I420).
        const bool nv12 = layout_.pixelFormat == V4L2_PIX_FMT_NV12;
        const std::size_t lumaStride = stride != 0 ? stride : w;
        const std::size_t chromaStride = nv12 ? lumaStride : lumaStride / 2;
        const std::size_t chromaRows = (h + 1) / 2;
        const std::size_t chromaRowBytes = nv12 ? (w + 1) / 2 * 2 : (w + 1) / 2;
        // Rows narrower than their samples would overlap and run the last one past the buffer.
        if (lumaStride < w || chromaStride < chromaRowBytes) return nullptr;
        const std::size_t chromaPlanes = nv12 ? 1 : 2;
        if (size < lumaStride * h + chromaPlanes * chromaStride * chromaRows) return nullptr;
        const std::uint8_t* luma = data;
        const std::uint8_t* chroma = data + lumaStride * h;
        const auto frame = PixelBuffer::create(width, height);
        const int dstStride = static_cast<int>(frame->bytesPerRow());
        const int result =
            nv12
                ? libyuv::NV12ToARGB(luma, static_cast<int>(lumaStride), chroma, static_cast<int>(lumaStride),
                                     frame->data(), dstStride, width, height)
                : libyuv::I420ToARGB(luma, static_cast<int>(lumaStride), chroma,
                                     static_cast<int>(chromaStride), chroma + chromaStride * chromaRows,
                                     static_cast<int>(chromaStride), frame->data(), dstStride, width, height);
        return result == 0 ? frame : nullptr;
    }

    const Packed* packed = packedFormat(layout_.pixelFormat);
    if (packed == nullptr) return nullptr;
    const auto groupPixels = static_cast<std::size_t>(packed->groupPixels);
    const std::size_t rowBytes =
        (w + groupPixels - 1) / groupPixels * static_cast<std::size_t>(packed->groupBytes);
    const std::size_t srcStride = stride >= rowBytes ? stride : rowBytes;
    // The last row needs only its pixels, not its padding.
    if (srcStride > static_cast<std::size_t>(INT_MAX) || size < srcStride * (h - 1) + rowBytes)
        return nullptr;
    const auto frame = PixelBuffer::create(width, height);
    const int dstStride = static_cast<int>(frame->bytesPerRow());
    if (packed->convert(data, static_cast<int>(srcStride), frame->data(), dstStride, width, height) != 0) {
        return nullptr;
    }
    if (packed->opaque) {
        // Made for the first frame that passed the size check, not for the width a driver claims.
        if (opaqueRow_.size() < w) opaqueRow_.assign(w, 0xFF);
        // A stride of 0 repeats the one opaque row for every row.
        libyuv::ARGBCopyYToAlpha(opaqueRow_.data(), 0, frame->data(), dstStride, width, height);
    }
    return frame;
}

}  // namespace qv
