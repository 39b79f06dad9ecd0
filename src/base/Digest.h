#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

// SHA-256 of the bytes as 64 lower-case hexadecimal characters.
std::string sha256Hex(const void* data, std::size_t size);
inline std::string sha256Hex(std::string_view bytes) {
    return sha256Hex(bytes.data(), bytes.size());
}

}  // namespace qv
