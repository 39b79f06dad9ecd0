#include "main/ProtocolMode.h"

#include "base/CaptureError.h"
#include "base/Runtime.h"
#include "engine/Engine.h"
#include "main/DeviceChoice.h"
#include "protocol/Output.h"
#include "protocol/RequestReader.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <memory>

namespace qv {

void runProtocolMode() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    rlimit limit{static_cast<rlim_t>(maxRecordBytes), static_cast<rlim_t>(maxRecordBytes)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        writeAll(2, "Could not set capture file limit\n");
        exitProcess(1);
    }

    umask(077);

    const int currentFlags = fcntl(1, F_GETFL);
    if (currentFlags < 0) exitProcess(1);
    if (fcntl(1, F_SETFL, currentFlags | O_NONBLOCK) < 0) exitProcess(1);

    auto output = std::make_shared<Output>();
    std::shared_ptr<Engine> engine;
    try {
        engine = Engine::create(output, makeDeviceSystem());
    } catch (...) {
        output->send(fatalJSON(std::nullopt, currentErrorJSON()));
        output->exitAfterDraining(1);
        parkForever();
    }

    // Work that failed in a way nobody caught leaves the engine's state unknown: end the session
    // as a stalled queue does, with a fatal line and a quick exit without clean-up.
    setUncaughtTaskHandler(
        [output, id = engine->sessionId(), once = std::make_shared<std::atomic<bool>>(false)] {
            if (once->exchange(true)) return;
            output->send(fatalJSON(id, currentErrorJSON()));
            globalAfter(0.1, [] { exitProcess(2); });
        });

    // Posted before the reader exists, so "ready" is always the first line the host sees.
    controlQueue().async([engine] { engine->ready(); });
    dispatchGlobal([engine, output] { RequestReader(engine, output, controlQueue()).run(); });
    parkForever();
}

}  // namespace qv
