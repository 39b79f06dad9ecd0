#include "main/ProtocolMode.h"

#include "platform/Runtime.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <condition_variable>
#include <mutex>

namespace qv {

namespace {

[[noreturn]] void parkForever() {
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock lock(mutex);
    for (;;) never.wait(lock);
}

}  // namespace

void runProtocolMode() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    rlimit limit{static_cast<rlim_t>(maxRecordBytes), static_cast<rlim_t>(maxRecordBytes)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        static constexpr char message[] = "Could not set capture file limit\n";
        (void)!::write(2, message, sizeof message - 1);
        exitProcess(1);
    }

    umask(077);

    const int currentFlags = fcntl(1, F_GETFL);
    if (currentFlags < 0) exitProcess(1);
    if (fcntl(1, F_SETFL, currentFlags | O_NONBLOCK) < 0) exitProcess(1);

    // The output channel, the engine and the request reader start here.
    parkForever();
}

}  // namespace qv
