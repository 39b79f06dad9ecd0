#pragma once

#include "base/Runtime.h"
#include "media/PixelBuffer.h"

#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace qv {

// The preview tests' frame: 160 x 144 BGRA with every byte, padding included, set to 100. Throws
// `code` / "Could not create synthetic pixels" when it cannot be made.
PixelBufferRef syntheticPreviewFrame(const char* code);

class OwnedFiles;

// Reached through the private directory's descriptor, like every other file operation: the number
// of its entries whose names start with `prefix` ("" counts all), whether `basename` is there, and
// the bytes of `basename` (at most `limit`; throws when it cannot be read).
int countDirectoryEntries(const OwnedFiles& files, const std::string& prefix = "");
bool ownedFileExists(const OwnedFiles& files, const std::string& basename);
std::string readOwnedFile(const OwnedFiles& files, const std::string& basename, std::size_t limit);

// Runs `body` on the control queue and waits for its result, as the engine's callers would;
// its exceptions come back to the caller.
template <typename Body>
auto onControl(Body&& body) -> std::invoke_result_t<Body&> {
    using Result = std::invoke_result_t<Body&>;
    if constexpr (std::is_void_v<Result>) {
        controlQueue().sync(body);
    } else {
        std::optional<Result> result;
        controlQueue().sync([&] { result.emplace(body()); });
        return std::move(*result);
    }
}

}  // namespace qv
