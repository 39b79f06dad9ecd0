#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qv {

// One 32-bit BGRA frame (B, G, R, A in memory; libyuv calls this "ARGB"). Rows may be padded:
// always step by bytesPerRow. Shared ownership keeps a frame alive while a sample, a recording
// or a screenshot still holds it; a buffer handed on is never written again.
class PixelBuffer {
public:
    // Rows padded to 64 bytes. Throws std::bad_alloc on failure.
    static std::shared_ptr<PixelBuffer> create(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }
    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    std::uint8_t* row(int y) { return data_.get() + static_cast<std::size_t>(y) * bytesPerRow_; }
    const std::uint8_t* row(int y) const { return data_.get() + static_cast<std::size_t>(y) * bytesPerRow_; }

    PixelBuffer(int width, int height, std::size_t bytesPerRow);

private:
    struct Free {
        void operator()(std::uint8_t* p) const;
    };
    int width_;
    int height_;
    std::size_t bytesPerRow_;
    std::unique_ptr<std::uint8_t, Free> data_;
};

using PixelBufferRef = std::shared_ptr<const PixelBuffer>;

}  // namespace qv
