#include "media/TestPicture.h"

#include <vector>

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
    // The picture column of every buffer column, worked out once rather than per pixel: this runs
    // for every frame of a simulated camera and of the synthetic recording test.
    std::vector<std::uint8_t> columns(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x) {
        columns[static_cast<std::size_t>(x)] =
            static_cast<std::uint8_t>(static_cast<std::int64_t>(x) * pictureWidth / width);
    }
    for (int y = 0; y < height; ++y) {
        const auto sy = static_cast<int>(static_cast<std::int64_t>(y) * pictureHeight / height);
        std::uint8_t* row = buffer.row(y);
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel = row + static_cast<std::size_t>(x) * 4;
            pixel[0] = static_cast<std::uint8_t>(sy);
            pixel[1] = columns[static_cast<std::size_t>(x)];
            pixel[2] = 32;
            pixel[3] = 255;
        }
        if (sy < boxTop || sy > boxBottom) continue;
        for (int x = 0; x < width; ++x) {
            const int sx = columns[static_cast<std::size_t>(x)];
            if (sx < boxLeft || sx >= boxLeft + boxWidth) continue;
            std::uint8_t* pixel = row + static_cast<std::size_t>(x) * 4;
            pixel[0] = 16;
            pixel[1] = 220;
            pixel[2] = 250;
        }
    }
}

}  // namespace qv
