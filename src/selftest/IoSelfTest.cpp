#include "selftest/IoSelfTest.h"
#include "base/Limits.h"

#include "base/CaptureError.h"
#include "base/Runtime.h"
#include "files/OwnedFiles.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

namespace {

bool writeThrows(OwnedFiles& files, std::string_view bytes, const std::string& name) {
    try {
        files.write(bytes, name, 10);
    } catch (...) {
        return true;
    }
    return false;
}

}  // namespace

Json ioSelfTest() {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit ceiling{static_cast<rlim_t>(protocolLimits.maxRecordBytes),
                         static_cast<rlim_t>(protocolLimits.maxRecordBytes)};
    if (::setrlimit(RLIMIT_FSIZE, &ceiling) != 0) {
        throw CaptureError("TEST_LIMIT", "Could not set file ceiling");
    }

    OwnedFiles files;
    files.write("\x01\x02\x03", "owned.png", 10);
    const bool noReplace = writeThrows(files, "\x04", "owned.png");
    const std::int64_t existingBytes = files.metadata("owned.png").bytes;
    const bool traversalRejected = writeThrows(files, "\x01", "../escape.png");

    // Made beside the owned files, not through them, so that only the file-size ceiling stands in
    // the way of the oversize length.
    const int fd =
        ::openat(files.directoryFD(), "cap-check.png", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw CaptureError("TEST_FILE", "Could not create test file");
    const bool oversizeRejected = ::ftruncate(fd, protocolLimits.maxRecordBytes + 1) != 0 && errno == EFBIG;
    ::close(fd);

    if (!noReplace || existingBytes != 3 || !traversalRejected || !oversizeRejected) {
        throw CaptureError("TEST_ASSERTION", "Owned file boundary check failed");
    }
    return Json{{"ok", true},
                {"noReplace", true},
                {"existingBytesPreserved", 3},
                {"traversalRejected", true},
                {"hardFileCeiling", protocolLimits.maxRecordBytes},
                {"oversizeFtruncateRejected", true},
                {"sessionDir", files.url()},
                {"deviceEnumeration", false},
                {"permissionsQueried", false},
                {"streamsOpened", false}};
}

}  // namespace qv
