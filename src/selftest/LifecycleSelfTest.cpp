#include "selftest/LifecycleSelfTest.h"

#include "device/linux/LinuxDeviceSystem.h"
#include "engine/Engine.h"
#include "base/Runtime.h"
#include "base/Uuid.h"
#include "preview/LatestPreview.h"
#include "base/CaptureError.h"
#include "base/Clock.h"
#include "protocol/Output.h"

namespace qv {

namespace {

[[noreturn]] void failed() {
    writeAll(2, "Lifecycle self-test failed\n");
    exitProcess(1);
}

// A close that arrives while a recording is still being finalised must only mark the helper as
// closing; it must not start a second teardown over the one in progress.
void closeDuringFinalization(Engine& engine, bool eof) {
    const std::string t0 = engine.transitionID;
    const std::string f = randomUuid();
    engine.finishingOperationID = f;
    engine.connection = "disconnected";
    engine.busy = true;
    (void)engine.preview();
    engine.latestArrival = mono();

    engine.request(Json{{"requestId", "00000000-0000-4000-8000-000000000001"}, {"action", "live_frame"}});
    if (eof) {
        engine.close(std::nullopt, "eof");
    } else {
        engine.close("00000000-0000-4000-8000-000000000002", "close");
    }

    if (engine.finishingOperationID != f || engine.transitionID != t0 ||
        engine.connection != "disconnected" || !engine.busy || !engine.shutdown) {
        throw CaptureError("LIFECYCLE_TEST", "Close re-entered delayed writer finalization");
    }
    engine.output->send(Json{{"event", "self_test"},
                             {"ok", true},
                             {"mode", eof ? "eof" : "close"},
                             {"delayedFinalizerReentered", false},
                             {"deviceEnumeration", false},
                             {"permissionsQueried", false},
                             {"streamsOpened", false}});
    engine.finishingOperationID.reset();
    engine.busy = false;
    engine.endCloseIfNeeded(false);
}

}  // namespace

[[noreturn]] void lifecycleSelfTest(bool eof) {
    try {
        auto engine = Engine::create(std::make_shared<Output>(), std::make_shared<LinuxDeviceSystem>());
        // The engine's state belongs to the control queue; nothing else runs there yet, so this is
        // the main thread's work done in the engine's own place.
        controlQueue().sync([&] { closeDuringFinalization(*engine, eof); });
        parkForever();
    } catch (...) {
        failed();
    }
}

}  // namespace qv
