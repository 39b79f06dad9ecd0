#pragma once

#include "files/FileIo.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace qv {

// The private capture directory: a fresh owner-only directory under the temporary directory, opened
// once and re-checked before every operation. Every file the helper produces lies directly in it,
// is created exclusively relative to its descriptor and is never reached through a link.
//
// Shared (std::shared_ptr) between the engine, the preview pipeline and the movie writer; safe to
// call from several threads, since only the owned registry changes after construction.
class OwnedFiles {
public:
    struct Metadata {
        std::int64_t bytes = 0;
        std::string sha256;  // 64 lower-case hexadecimal characters
    };

    // Creates "quorvelle-native-capture-<uuid>" under TMPDIR (which must then be an existing absolute
    // directory whose resolved path is UTF-8) or the system temporary directory. Throws CaptureError
    // "OUTPUT_DIRECTORY", or a POSIX PlatformError when the directory itself cannot be made. A
    // directory made by a failed construction is left in place. `io` writes and closes the images that
    // write() creates.
    explicit OwnedFiles(FileIo io = {});
    ~OwnedFiles();
    OwnedFiles(const OwnedFiles&) = delete;
    OwnedFiles& operator=(const OwnedFiles&) = delete;

    // Throws "OUTPUT_DIRECTORY_CHANGED" unless the directory is still the one created, ours, mode 0700.
    void check() const;

    // Creates `basename` ("[a-z0-9-]+.(jpg|png)") exclusively, mode 0600, with these bytes, and
    // registers it as owned. `limit` is the largest accepted byte count. A write or close that fails
    // (a full or failing disk) throws "OUTPUT_WRITE" and leaves the partly written file registered,
    // so removeOwned can still delete it.
    void write(std::string_view data, const std::string& basename, std::int64_t limit);

    // For the movie writer: creates `basename` ("[a-z0-9-]+.mp4") exclusively, mode 0600, registers it
    // as owned (so a recording whose start failed can be taken back with removeOwned) and returns its
    // open read-write, close-on-exec descriptor, which the caller closes. An existing name, even a
    // dangling link, throws "CAPTURE_EXISTS"; a name outside the rule "OUTPUT_BOUND"; a file that is
    // not single-linked or not ours "OUTPUT_IDENTITY"; any other failure a POSIX PlatformError.
    int createOwned(const std::string& basename);

    // Size and SHA-256 of an output file in the directory, proven unchanged while it was read.
    Metadata metadata(const std::string& basename) const;

    // Deletes a file this instance created, and only while it is still that very file.
    void removeOwned(const std::string& basename);

    // The directory's path with every link resolved.
    const std::string& url() const { return url_; }
    int directoryFD() const { return directoryFD_; }

    // Called after every chunk metadata() reads, with the running total. Lets tests change a file
    // while it is being hashed; unset in the helper.
    void setReadObserver(std::function<void(std::int64_t)> observer) { readObserver_ = std::move(observer); }

private:
    // Opens a new file exclusively and checks it is a single-link file of ours, then registers it.
    // Returns -1 with errno set when the name cannot be created.
    int createExclusive(const std::string& basename, int access, const char* identityMessage);

    std::string url_;
    int directoryFD_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::map<std::string, std::uint64_t> owned_;
    mutable std::mutex ownedLock_;
    std::function<void(std::int64_t)> readObserver_;
    FileIo io_;
};

}  // namespace qv
