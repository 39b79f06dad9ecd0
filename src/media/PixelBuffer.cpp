#include "media/PixelBuffer.h"

#include <cstdlib>
#include <new>

namespace qv {

namespace {
constexpr std::size_t alignment = 64;
}

PixelBuffer::PixelBuffer(int width, int height, std::size_t bytesPerRow)
    : width_(width), height_(height), bytesPerRow_(bytesPerRow) {
    const std::size_t size = bytesPerRow_ * static_cast<std::size_t>(height_ > 0 ? height_ : 1);
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    void* memory = std::aligned_alloc(alignment, rounded);
    if (memory == nullptr) throw std::bad_alloc();
    data_.reset(static_cast<std::uint8_t*>(memory));
}

void PixelBuffer::Free::operator()(std::uint8_t* p) const {
    std::free(p);
}

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height) {
    if (width <= 0 || height <= 0) throw std::bad_alloc();
    const std::size_t row = (static_cast<std::size_t>(width) * 4 + alignment - 1) / alignment * alignment;
    return std::make_shared<PixelBuffer>(width, height, row);
}

}  // namespace qv
