#include "media/JpegCodec.h"

#include <turbojpeg.h>

namespace qv {

JpegCodec::JpegCodec() = default;

JpegCodec::~JpegCodec() {
    if (compressor_ != nullptr) tjDestroy(compressor_);
    if (decompressor_ != nullptr) tjDestroy(decompressor_);
}

std::string JpegCodec::encode(const PixelBuffer& frame, int quality) {
    if (compressor_ == nullptr) compressor_ = tjInitCompress();
    if (compressor_ == nullptr) return {};
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int result =
        tjCompress2(compressor_, frame.data(), frame.width(), static_cast<int>(frame.bytesPerRow()),
                    frame.height(), TJPF_BGRA, &jpeg, &size, TJSAMP_420, quality, 0);
    std::string bytes;
    if (result == 0 && jpeg != nullptr) bytes.assign(reinterpret_cast<const char*>(jpeg), size);
    if (jpeg != nullptr) tjFree(jpeg);
    return bytes;
}

std::optional<JpegCodec::Header> JpegCodec::readHeader(const void* data, std::size_t size) {
    if (decompressor_ == nullptr) decompressor_ = tjInitDecompress();
    if (decompressor_ == nullptr || data == nullptr || size == 0) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(decompressor_, static_cast<const unsigned char*>(data),
                            static_cast<unsigned long>(size), &width, &height, &subsampling,
                            &colorspace) != 0) {
        return std::nullopt;
    }
    if (width <= 0 || height <= 0) return std::nullopt;
    return Header{width, height};
}

std::shared_ptr<PixelBuffer> JpegCodec::decode(const void* data, std::size_t size, bool acceptDamaged) {
    const auto header = readHeader(data, size);
    if (!header) return nullptr;
    auto frame = PixelBuffer::create(header->width, header->height);
    // A truncated stream is only a warning to libjpeg; the caller asked for a complete picture.
    if (tjDecompress2(decompressor_, static_cast<const unsigned char*>(data),
                      static_cast<unsigned long>(size), frame->data(), header->width,
                      static_cast<int>(frame->bytesPerRow()), header->height, TJPF_BGRA,
                      acceptDamaged ? 0 : TJFLAG_STOPONWARNING) != 0) {
        if (!acceptDamaged || tjGetErrorCode(decompressor_) != TJERR_WARNING) return nullptr;
    }
    return frame;
}

}  // namespace qv
