#include "selftest/PreviewFixtures.h"

#include "protocol/CaptureError.h"

#include <cstring>
#include <filesystem>
#include <new>

namespace qv {

PixelBufferRef syntheticPreviewFrame(const char* code) {
    std::shared_ptr<PixelBuffer> frame;
    try {
        frame = PixelBuffer::create(160, 144);
    } catch (const std::bad_alloc&) {
        throw CaptureError(code, "Could not create synthetic pixels");
    }
    std::memset(frame->data(), 100, frame->bytesPerRow() * static_cast<std::size_t>(frame->height()));
    return frame;
}

int countDirectoryEntries(const std::string& directory, const std::string& prefix) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().filename().string().starts_with(prefix)) ++count;
    }
    return count;
}

}  // namespace qv
