#include "main/ProtocolMode.h"
#include "base/Limits.h"

#include "base/CaptureError.h"
#include "base/JsonText.h"
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

    rlimit limit{static_cast<rlim_t>(protocolLimits.maxRecordBytes),
                 static_cast<rlim_t>(protocolLimits.maxRecordBytes)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        writeAll(2, "Could not set capture file limit\n");
        exitProcess(1);
    }

    umask(077);

    const int currentFlags = fcntl(1, F_GETFL);
    if (currentFlags < 0) exitProcess(1);
    if (fcntl(1, F_SETFL, currentFlags | O_NONBLOCK) < 0) exitProcess(1);

    std::shared_ptr<Output> output;
    try {
        // The process-wide queues exist (main made them); the output channel's is the last.
        output = std::make_shared<Output>();
    } catch (...) {
        // No output channel to send through: the line goes straight to the descriptor.
        if (auto line = jsonLine(fatalJSON(std::nullopt, currentErrorJSON()))) writeAll(1, *line + "\n");
        exitProcess(1);
    }
    const auto startFailed = [&output] {
        output->send(fatalJSON(std::nullopt, currentErrorJSON()));
        output->exitAfterDraining(1);
        parkForever();
    };
    std::shared_ptr<Engine> engine;
    try {
        engine = Engine::create(output, makeDeviceSystem());
    } catch (...) {
        startFailed();
    }

    // Work that failed in a way nobody caught leaves the engine's state unknown: end the session
    // as a stalled queue does, with a fatal line and a quick exit without clean-up.
    setUncaughtTaskHandler(
        [output, id = engine->sessionId(), once = std::make_shared<std::atomic<bool>>(false)] {
            if (once->exchange(true)) return;
            output->send(fatalJSON(id, currentErrorJSON()));
            globalAfter(protocolLimits.stalledExitSeconds, [] { exitProcess(2); });
        });

    try {
        dispatchGlobal([engine, output] {
            // Posted by the reader before it reads, so "ready" is always the first line the host
            // sees, and only once the reader runs.
            controlQueue().async([engine] { engine->ready(); });
            RequestReader(engine, output, controlQueue()).run();
        });
    } catch (...) {
        startFailed();
    }
    parkForever();
}

}  // namespace qv
