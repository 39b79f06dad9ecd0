#include "GuardedBytes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace qvfuzz {

GuardedBytes::GuardedBytes(const std::uint8_t* data, std::size_t size) : size_(size) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t body = (size + page - 1) / page * page;
    mappingSize_ = body + 2 * page;
    void* mapping = ::mmap(nullptr, mappingSize_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) std::abort();
    mapping_ = static_cast<std::uint8_t*>(mapping);
    std::uint8_t* start = mapping_ + page + body - size;
    if (body != 0) {
        if (::mprotect(mapping_ + page, body, PROT_READ | PROT_WRITE) != 0) std::abort();
        std::memcpy(start, data, size);
        if (::mprotect(mapping_ + page, body, PROT_READ) != 0) std::abort();
    }
    data_ = start;
}

GuardedBytes::~GuardedBytes() {
    ::munmap(mapping_, mappingSize_);
}

}  // namespace qvfuzz
