#pragma once

#include <unistd.h>

#include <cstddef>
#include <functional>

namespace qv {

// The system calls through which OwnedFiles puts an image's bytes on disk. The helper uses the real
// ones; tests replace them to fail the way a full or failing disk does, without mounting anything.
struct FileIo {
    std::function<ssize_t(int fd, const void* data, std::size_t count)> write = ::write;
    std::function<int(int fd)> close = ::close;
};

}  // namespace qv
