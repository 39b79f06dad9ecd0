#include "files/OwnedFiles.h"
#include "base/Limits.h"

#include "base/CaptureError.h"
#include "base/FaultInjection.h"
#include "base/Runtime.h"
#include "base/Sha256.h"
#include "base/Utf8.h"
#include "base/Uuid.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace qv {

namespace {

constexpr std::size_t hashBufferBytes = 65'536;
constexpr std::string_view directoryPrefix = "quorvelle-native-capture-";

[[noreturn]] void directoryChanged() {
    throw CaptureError("OUTPUT_DIRECTORY_CHANGED", "Private capture directory identity changed");
}

// One or more of [a-z0-9-], a dot, and one of the extensions: nothing else, so a name can hold no
// path separator and cannot start with a dot.
bool validName(std::string_view name, std::initializer_list<std::string_view> extensions) {
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    for (const char c : name.substr(0, dot)) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    const std::string_view extension = name.substr(dot + 1);
    for (const std::string_view allowed : extensions) {
        if (extension == allowed) return true;
    }
    return false;
}

// A single path component naming something inside the directory: an absolute or multi-part name
// would let openat leave it.
bool plainComponent(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::optional<std::string> resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> text(::realpath(path.c_str(), nullptr), &std::free);
    if (!text) return std::nullopt;
    return std::string(text.get());
}

std::string parentDirectory() {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir == nullptr) {
        // The system default; no further check, a failure shows when the directory is made.
        return resolved("/tmp").value_or("/tmp");
    }
    const std::string value(tmpdir);
    const auto fail = [] {
        throw CaptureError("OUTPUT_DIRECTORY", "Temporary directory must be an existing absolute directory");
    };
    if (value.empty() || value[0] != '/') fail();
    const std::optional<std::string> parent = resolved(value);
    struct stat info {};
    if (!parent || ::lstat(parent->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) fail();
    // The directory's path is part of the first line the host reads, which must be UTF-8 text.
    if (!isUtf8(*parent)) fail();
    return *parent;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace

OwnedFiles::OwnedFiles(FileIo io) : io_(std::move(io)) {
    const std::string parent = parentDirectory();
    const std::string path =
        parent + (parent.ends_with('/') ? "" : "/") + std::string(directoryPrefix) + randomUuid();
    if (::mkdir(path.c_str(), 0700) != 0) throw PlatformError::posix(errno, "mkdir");

    const std::optional<std::string> resolvedPath = resolved(path);
    if (!resolvedPath) throw CaptureError("OUTPUT_DIRECTORY", "Could not resolve private output directory");
    url_ = *resolvedPath;

    directoryFD_ = ::open(url_.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
    if (directoryFD_ < 0) throw CaptureError("OUTPUT_DIRECTORY", "Could not open private output directory");

    struct stat info {};
    if (::fstat(directoryFD_, &info) != 0 || info.st_uid != ::geteuid() || (info.st_mode & 0777) != 0700) {
        ::close(directoryFD_);
        directoryFD_ = -1;
        throw CaptureError("OUTPUT_DIRECTORY", "Private directory ownership/mode mismatch");
    }
    dev_ = info.st_dev;
    ino_ = info.st_ino;
}

OwnedFiles::~OwnedFiles() {
    if (directoryFD_ >= 0) ::close(directoryFD_);
}

void OwnedFiles::check() const {
    struct stat opened {};
    struct stat named {};
    if (::fstat(directoryFD_, &opened) != 0 || ::lstat(url_.c_str(), &named) != 0) directoryChanged();
    if (opened.st_dev != dev_ || opened.st_ino != ino_ || named.st_dev != dev_ || named.st_ino != ino_) {
        directoryChanged();
    }
    if (!S_ISDIR(named.st_mode) || named.st_uid != ::geteuid() || (named.st_mode & 0777) != 0700) {
        directoryChanged();
    }
}

int OwnedFiles::createExclusive(const std::string& basename, int access, const char* identityMessage) {
    if (FaultInjection::refuses(FaultInjection::Kind::file)) return -1;
    Descriptor file(
        ::openat(directoryFD_, basename.c_str(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0) return -1;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || info.st_nlink != 1 || info.st_uid != ::geteuid()) {
        throw CaptureError("OUTPUT_IDENTITY", identityMessage);
    }
    {
        const std::lock_guard lock(ownedLock_);
        owned_[basename] = info.st_ino;
    }
    return file.release();
}

void OwnedFiles::write(std::string_view data, const std::string& basename, std::int64_t limit) {
    check();
    if (limit < 0 || data.size() > static_cast<std::uint64_t>(limit) ||
        !validName(basename, {"jpg", "png"})) {
        throw CaptureError("OUTPUT_BOUND", "Image name or size exceeds bound");
    }
    const int fd = createExclusive(basename, O_WRONLY, "Image identity mismatch");
    if (fd < 0) throw CaptureError("OUTPUT_CREATE", "Could not exclusively create capture image");
    const CaptureError failed("OUTPUT_WRITE", "Image write failed");
    // A partly written file keeps its name and its registration, so it can still be removed.
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t count = io_.write(fd, data.data() + written, data.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            io_.close(fd);
            throw failed;
        }
        written += static_cast<std::size_t>(count);
    }
    // Some file systems report a full or failing disk only when the file is closed. On Linux the
    // descriptor is gone even then, and EINTR says nothing about the data.
    if (io_.close(fd) != 0 && errno != EINTR) throw failed;
}

int OwnedFiles::createOwned(const std::string& basename) {
    check();
    if (!validName(basename, {"mp4"})) throw CaptureError("OUTPUT_BOUND", "Image name or size exceeds bound");
    // Readable too: finishing a recording reads back what it wrote.
    const int fd = createExclusive(basename, O_RDWR, "Capture output identity or size mismatch");
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST) throw CaptureError("CAPTURE_EXISTS", "Capture ID was already used");
        throw PlatformError::posix(error, "openat");
    }
    Descriptor file(fd);
    // Whatever the file-creation mask, the mode is set on the descriptor, never by path.
    if (::fchmod(file.get(), 0600) != 0) throw PlatformError::posix(errno, "fchmod");
    return file.release();
}

OwnedFiles::Metadata OwnedFiles::metadata(const std::string& basename) const {
    check();
    // Non-blocking so that a FIFO put in place of a file cannot hold the open; it then fails the
    // regular-file check. Reads of a regular file are unaffected.
    Descriptor file(
        plainComponent(basename) && !FaultInjection::refuses(FaultInjection::Kind::file)
            ? ::openat(directoryFD_, basename.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)
            : -1);
    if (file.get() < 0) throw CaptureError("OUTPUT_READ", "Capture output is unavailable");

    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
        info.st_uid != ::geteuid() || info.st_size < 0 || info.st_size > protocolLimits.maxRecordBytes) {
        throw CaptureError("OUTPUT_IDENTITY", "Capture output identity or size mismatch");
    }
    const std::int64_t size = info.st_size;
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    Sha256 hash;
    const auto buffer = std::make_unique<std::uint8_t[]>(hashBufferBytes);
    std::int64_t total = 0;
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer.get(), hashBufferBytes);
        if (count < 0) {
            if (errno == EINTR) continue;
            throw CaptureError("OUTPUT_READ", "Capture output read failed");
        }
        if (count == 0) break;
        total += count;
        if (total > protocolLimits.maxRecordBytes)
            throw CaptureError("OUTPUT_BOUND", "Capture output exceeded its limit");
        hash.update(buffer.get(), static_cast<std::size_t>(count));
        if (readObserver_) readObserver_(total);
    }
    if (total != size) throw CaptureError("OUTPUT_CHANGED", "Capture output changed while hashing");
    return {total, hash.finalHex()};
}

void OwnedFiles::removeOwned(const std::string& basename) {
    check();
    std::optional<std::uint64_t> inode;
    {
        const std::lock_guard lock(ownedLock_);
        const auto entry = owned_.find(basename);
        if (entry != owned_.end()) inode = entry->second;
    }
    if (!inode) throw CaptureError("OUTPUT_IDENTITY", "Cannot remove an unowned file");

    struct stat info {};
    if (::fstatat(directoryFD_, basename.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || info.st_ino != *inode ||
        info.st_nlink != 1 || info.st_uid != ::geteuid() || !S_ISREG(info.st_mode)) {
        throw CaptureError("OUTPUT_IDENTITY", "Capture image was externally replaced");
    }
    if (::unlinkat(directoryFD_, basename.c_str(), 0) != 0) {
        throw CaptureError("OUTPUT_REMOVE", "Could not remove old preview image");
    }
    const std::lock_guard lock(ownedLock_);
    owned_.erase(basename);
}

}  // namespace qv
