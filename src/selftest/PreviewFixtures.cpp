#include "selftest/PreviewFixtures.h"

#include "base/CaptureError.h"
#include "files/OwnedFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace qv {

PixelBufferRef syntheticPreviewFrame(const char* code) {
    std::shared_ptr<PixelBuffer> frame;
    try {
        frame = PixelBuffer::create(160, 144);
    } catch (const std::bad_alloc&) {
        throw CaptureError(code, "Could not create synthetic pixels");
    }
    std::memset(frame->data(), 100, frame->bytesPerRow() * static_cast<std::size_t>(frame->height()));
    return frame;
}

int countDirectoryEntries(const OwnedFiles& files, const std::string& prefix) {
    // A fresh open of the directory, so the listing has a position of its own.
    const int fd = ::openat(files.directoryFD(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* directory = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (directory == nullptr) {
        if (fd >= 0) ::close(fd);
        throw CaptureError("PREVIEW_TEST", "Could not list the private directory");
    }
    int count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != ".." && name.starts_with(prefix)) ++count;
    }
    ::closedir(directory);
    return count;
}

bool ownedFileExists(const OwnedFiles& files, const std::string& basename) {
    struct stat info {};
    return ::fstatat(files.directoryFD(), basename.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string readOwnedFile(const OwnedFiles& files, const std::string& basename, std::size_t limit) {
    // Non-blocking, so that a FIFO in the file's place cannot hold the open.
    const int fd =
        ::openat(files.directoryFD(), basename.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw CaptureError("PREVIEW_TEST", "Could not open an owned file");
    std::string bytes;
    char chunk[65536];
    bool failed = false;
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        failed = got < 0;
        if (got <= 0) break;
        bytes.append(chunk, static_cast<std::size_t>(got));
        if (bytes.size() > limit) {
            failed = true;
            break;
        }
    }
    ::close(fd);
    if (failed) throw CaptureError("PREVIEW_TEST", "Could not read an owned file");
    return bytes;
}

}  // namespace qv
