#include "media/TestPicture.h"

namespace qv {

namespace {
constexpr int pictureWidth = 160;
constexpr int pictureHeight = 144;
constexpr int boxWidth = 8;
constexpr int boxTop = 60;
constexpr int boxBottom = 83;
constexpr int boxTravel = 152;
}  // namespace

void drawTestPicture(PixelBuffer& buffer, std::int64_t frameIndex) {
    const int width = buffer.width();
    const int height = buffer.height();
    const auto boxLeft = static_cast<int>(((frameIndex % boxTravel) + boxTravel) % boxTravel);
    for (int y = 0; y < height; ++y) {
        const auto sy = static_cast<int>(static_cast<std::int64_t>(y) * pictureHeight / height);
        const bool boxRow = sy >= boxTop && sy <= boxBottom;
        std::uint8_t* pixel = buffer.row(y);
        for (int x = 0; x < width; ++x, pixel += 4) {
            const auto sx = static_cast<int>(static_cast<std::int64_t>(x) * pictureWidth / width);
            if (boxRow && sx >= boxLeft && sx < boxLeft + boxWidth) {
                pixel[0] = 16;
                pixel[1] = 220;
                pixel[2] = 250;
            } else {
                pixel[0] = static_cast<std::uint8_t>(sy);
                pixel[1] = static_cast<std::uint8_t>(sx);
                pixel[2] = 32;
            }
            pixel[3] = 255;
        }
    }
}

}  // namespace qv
