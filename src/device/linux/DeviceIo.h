#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qv {

// The few kernel calls the video device code makes, behind one interface so that tests can put a
// fake device in the kernel's place. Every call behaves like the system call of the same name:
// -1 (or MAP_FAILED) with errno set on failure.
class DeviceIo {
public:
    virtual ~DeviceIo() = default;

    virtual int open(const std::string& path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* address, std::size_t length) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;

    // The names in a directory (without "." and ".."), empty when it cannot be read.
    virtual std::vector<std::string> listDirectory(const std::string& path) = 0;
    // A small text file such as a sysfs attribute, or none.
    virtual std::optional<std::string> readText(const std::string& path) = 0;
};

// The real kernel.
DeviceIo& systemDeviceIo();

}  // namespace qv
