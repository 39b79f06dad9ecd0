#include "GuardedBytes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace qvfuzz {

GuardedBytes::GuardedBytes(std::size_t capacity) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    capacity_ = (capacity + page - 1) / page * page;
    mappingSize_ = capacity_ + page;
    void* mapping = ::mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) std::abort();
    mapping_ = static_cast<std::uint8_t*>(mapping);
    guard_ = mapping_ + capacity_;
    if (::mprotect(guard_, page, PROT_NONE) != 0) std::abort();
}

GuardedBytes::~GuardedBytes() {
    ::munmap(mapping_, mappingSize_);
}

const std::uint8_t* GuardedBytes::place(const std::uint8_t* data, std::size_t size) {
    if (size > capacity_) std::abort();
    std::uint8_t* start = guard_ - size;
    if (size != 0) std::memcpy(start, data, size);
    return start;
}

}  // namespace qvfuzz
