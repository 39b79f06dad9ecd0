#include "selftest/LifecycleSelfTest.h"

#include "base/CaptureError.h"
#include "base/Clock.h"
#include "base/Runtime.h"
#include "device/linux/LinuxDeviceSystem.h"
#include "engine/Engine.h"
#include "protocol/Output.h"

namespace qv {

namespace {

[[noreturn]] void failed() {
    writeAll(2, "Lifecycle self-test failed\n");
    exitProcess(1);
}

// A close that arrives while a recording is still being finalised must only mark the helper as
// closing; it must not start a second teardown over the one in progress.
void closeDuringFinalization(Engine& engine, Output& output, bool eof) {
    engine.beginSimulatedFinish();

    engine.request(Json{{"requestId", "00000000-0000-4000-8000-000000000001"}, {"action", "live_frame"}});
    if (eof) {
        engine.inputEnded();
    } else {
        engine.request(Json{{"requestId", "00000000-0000-4000-8000-000000000002"}, {"action", "close"}});
    }

    const Lifecycle& after = engine.lifecycle();
    if (after.transition != Transition::finishingRecording ||
        engine.connection() != Connection::disconnected || !after.shutdown) {
        throw CaptureError("LIFECYCLE_TEST", "Close re-entered delayed writer finalization");
    }
    output.send(Json{{"event", "self_test"},
                     {"ok", true},
                     {"mode", eof ? "eof" : "close"},
                     {"delayedFinalizerReentered", false},
                     {"deviceEnumeration", false},
                     {"permissionsQueried", false},
                     {"streamsOpened", false}});
    engine.endSimulatedFinish();
}

}  // namespace

[[noreturn]] void lifecycleSelfTest(bool eof) {
    try {
        auto output = std::make_shared<Output>();
        auto engine = Engine::create(output, std::make_shared<LinuxDeviceSystem>());
        // The engine's state belongs to the control queue; nothing else runs there yet, so this is
        // the main thread's work done in the engine's own place.
        controlQueue().sync([&] { closeDuringFinalization(*engine, *output, eof); });
        parkForever();
    } catch (...) {
        failed();
    }
}

}  // namespace qv
