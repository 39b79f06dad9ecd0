#pragma once

#include "preview/PreviewSample.h"

#include <functional>
#include <string>

namespace qv {

// JPEG bytes and the size they were encoded at.
struct EncodedPreview {
    std::string bytes;
    int width = 0;
    int height = 0;
};

// Turns one sample into a JPEG; runs on the preview worker and may throw.
using PreviewEncoder = std::function<EncodedPreview(const PreviewSample&)>;

// Largest encoded preview; bigger frames are reduced (never enlarged) to fit.
inline constexpr int maxPreviewWidth = 640;
inline constexpr int maxPreviewHeight = 576;

// The production encoder: frames beyond 640 x 576 are box-filtered down by one uniform factor,
// then encoded as JPEG at quality 80 with 4:2:0 chroma. Throws "PREVIEW_ENCODE" when no JPEG
// comes out. Each returned encoder keeps its own codec state, so it must only ever be called
// from one thread at a time.
PreviewEncoder makeDefaultPreviewEncoder();

}  // namespace qv
