#include "device/linux/DeviceIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace qv {

namespace {

class SystemDeviceIo final : public DeviceIo {
public:
    int open(const std::string& path, int flags) override { return ::open(path.c_str(), flags | O_CLOEXEC); }

    int close(int fd) override { return ::close(fd); }

    int ioctl(int fd, unsigned long request, void* argument) override {
        int result;
        do {
            result = ::ioctl(fd, request, argument);
        } while (result == -1 && errno == EINTR);
        return result;
    }

    void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override {
        return ::mmap(nullptr, length, protection, flags, fd, offset);
    }

    int munmap(void* address, std::size_t length) override { return ::munmap(address, length); }

    int poll(pollfd* fds, nfds_t count, int timeoutMs) override { return ::poll(fds, count, timeoutMs); }

    std::vector<std::string> listDirectory(const std::string& path) override {
        std::vector<std::string> names;
        DIR* directory = ::opendir(path.c_str());
        if (directory == nullptr) return names;
        while (const dirent* entry = ::readdir(directory)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(directory);
        return names;
    }

    std::optional<std::string> readText(const std::string& path) override {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return std::nullopt;
        // Attributes are short; a bounded read keeps a strange file from costing anything.
        char buffer[4096];
        std::string text;
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            text.append(buffer, static_cast<std::size_t>(got));
            if (text.size() >= 4096) break;
        }
        ::close(fd);
        return text;
    }
};

}  // namespace

DeviceIo& systemDeviceIo() {
    static SystemDeviceIo* io = new SystemDeviceIo();
    return *io;
}

}  // namespace qv
