#include "media/PngEncoder.h"

#include <libyuv/convert_from_argb.h>
#include <spng.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace qv {

std::string encodePNG(const PixelBuffer& frame) {
    const int width = frame.width();
    const int height = frame.height();
    // libyuv's "ABGR" is R, G, B, A in memory: the RGBA order PNG wants.
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * 4 * static_cast<std::size_t>(height));
    if (libyuv::ARGBToABGR(frame.data(), static_cast<int>(frame.bytesPerRow()), rgba.data(), width * 4, width,
                           height) != 0) {
        return {};
    }

    std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> context(spng_ctx_new(SPNG_CTX_ENCODER),
                                                                spng_ctx_free);
    if (!context) return {};
    spng_set_option(context.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header{};
    header.width = static_cast<std::uint32_t>(width);
    header.height = static_cast<std::uint32_t>(height);
    header.bit_depth = 8;
    header.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    if (spng_set_ihdr(context.get(), &header) != 0) return {};
    if (spng_encode_image(context.get(), rgba.data(), rgba.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) != 0) {
        return {};
    }
    std::size_t size = 0;
    int error = 0;
    void* png = spng_get_png_buffer(context.get(), &size, &error);
    if (png == nullptr || error != 0) return {};
    std::string bytes(static_cast<const char*>(png), size);
    std::free(png);
    return bytes;
}

}  // namespace qv
