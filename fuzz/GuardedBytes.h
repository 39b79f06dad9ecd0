#pragma once

#include <cstddef>
#include <cstdint>

namespace qvfuzz {

// A read-only copy of fuzz input whose last byte ends a page, with an inaccessible page on either
// side. libyuv and libjpeg-turbo are not instrumented, so AddressSanitizer cannot see them read past
// a buffer; the guard page turns such a read into a crash the fuzzer reports.
class GuardedBytes {
public:
    GuardedBytes(const std::uint8_t* data, std::size_t size);
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    std::uint8_t* mapping_ = nullptr;
    std::size_t mappingSize_ = 0;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace qvfuzz
