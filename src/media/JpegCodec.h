#pragma once

#include "media/PixelBuffer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qv {

// TurboJPEG encoding from BGRA and decoding to BGRA. One instance keeps its codec handles; it is
// not thread-safe, so each thread that encodes or decodes uses its own.
class JpegCodec {
public:
    JpegCodec();
    ~JpegCodec();
    JpegCodec(const JpegCodec&) = delete;
    JpegCodec& operator=(const JpegCodec&) = delete;

    // Baseline JPEG with 4:2:0 chroma at `quality` (1-100); empty when the encoder fails.
    std::string encode(const PixelBuffer& frame, int quality);

    struct Header {
        int width = 0;
        int height = 0;
    };
    // Width and height of a JPEG, or none when it is not one.
    std::optional<Header> readHeader(const void* data, std::size_t size);
    // The whole picture as BGRA, or none when the data is not a complete JPEG. With
    // `acceptDamaged`, data that libjpeg only warns about (a cut or padded tail, as some cameras
    // send) still gives a picture. Frames without Huffman tables (Motion-JPEG) decode either way.
    std::shared_ptr<PixelBuffer> decode(const void* data, std::size_t size, bool acceptDamaged = false);

private:
    void* compressor_ = nullptr;
    void* decompressor_ = nullptr;
};

}  // namespace qv
