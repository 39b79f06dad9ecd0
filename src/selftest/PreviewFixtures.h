#pragma once

#include "platform/PixelBuffer.h"
#include "platform/Runtime.h"

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace qv {

// The preview tests' frame: 160 x 144 BGRA with every byte, padding included, set to 100. Throws
// `code` / "Could not create synthetic pixels" when it cannot be made.
PixelBufferRef syntheticPreviewFrame(const char* code);

// Number of entries in a directory whose names start with `prefix` ("" counts all).
int countDirectoryEntries(const std::string& directory, const std::string& prefix = "");

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
