#pragma once

#include <cstddef>
#include <cstdint>

namespace qvfuzz {

// Room for fuzz input placed so that its last byte ends a page followed by an inaccessible one.
// libyuv and libjpeg-turbo are not instrumented, so AddressSanitizer cannot see them read past a
// buffer; the guard page turns such a read into a crash the fuzzer reports. One mapping serves
// every input, so that a run costs a copy and no system call.
class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t capacity);
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    std::size_t capacity() const { return capacity_; }
    // Copies `size` bytes (at most the capacity) to end at the guard page and returns the copy.
    const std::uint8_t* place(const std::uint8_t* data, std::size_t size);

private:
    std::uint8_t* mapping_ = nullptr;
    std::size_t mappingSize_ = 0;
    std::uint8_t* guard_ = nullptr;
    std::size_t capacity_ = 0;
};

}  // namespace qvfuzz
