#include "preview/PreviewEncoder.h"

#include "base/CaptureError.h"
#include "media/JpegCodec.h"

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <memory>

namespace qv {

namespace {

constexpr int previewQuality = 80;

[[noreturn]] void encodeFailed() {
    throw CaptureError("PREVIEW_ENCODE", "Native preview encoding failed");
}

// The one factor that fits the frame into 640 x 576, or 1 when it already fits. The scaled size
// is truncated; the small allowance keeps a product such as 640/1077 * 1077 from landing a hair
// below the whole number it stands for.
int scaled(int size, double factor) {
    if (factor >= 1.0) return size;
    return static_cast<int>(static_cast<double>(size) * factor + 1e-9);
}

}  // namespace

PreviewEncoder makeDefaultPreviewEncoder() {
    auto codec = std::make_shared<JpegCodec>();
    return [codec](const PreviewSample& sample) {
        if (!sample.pixel || sample.pixel->width() <= 0 || sample.pixel->height() <= 0) encodeFailed();
        const PixelBuffer& frame = *sample.pixel;
        const double factor = std::min({static_cast<double>(maxPreviewWidth) / frame.width(),
                                        static_cast<double>(maxPreviewHeight) / frame.height(), 1.0});
        EncodedPreview encoded;
        encoded.width = scaled(frame.width(), factor);
        encoded.height = scaled(frame.height(), factor);
        if (encoded.width < 1 || encoded.height < 1) encodeFailed();
        if (encoded.width == frame.width() && encoded.height == frame.height()) {
            encoded.bytes = codec->encode(frame, previewQuality);
        } else {
            auto reduced = PixelBuffer::create(encoded.width, encoded.height);
            if (libyuv::ARGBScale(frame.data(), static_cast<int>(frame.bytesPerRow()), frame.width(),
                                  frame.height(), reduced->data(), static_cast<int>(reduced->bytesPerRow()),
                                  reduced->width(), reduced->height(), libyuv::kFilterBox) != 0) {
                encodeFailed();
            }
            encoded.bytes = codec->encode(*reduced, previewQuality);
        }
        if (encoded.bytes.empty()) encodeFailed();
        return encoded;
    };
}

}  // namespace qv
