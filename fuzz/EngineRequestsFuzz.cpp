// Request validation and dispatch on an engine without devices: every action, key and value the
// host may send, in any order, including the ones that close the session or end it as an error.
//
// Input: JSON lines. A first line that is a simulated-player description sets the permissions and
// how a permission request is answered (its devices are dropped, and every answer comes at once,
// so that nothing waits on a clock); every other line that is a JSON object is one request. Lines
// that are not objects are skipped: cutting and parsing have their own harness.
//
// Each input runs on a fresh engine with its own output and private directory, all gone before
// the next: the harness waits until the engine is idle after every request, requires the engine
// to be destroyed once let go, and empties its temporary directory after every input. A session
// that ends (close, a fatal error) would end the process; here the exit throws, and the queue that
// ran it carries on. Timers such an ending armed (the forced exits) stay pending for their
// seconds, holding nothing of the engine but a weak reference, so scripts/fuzz leaves the per-input
// leak check off here and relies on the check at the end of the run.

#include "base/Runtime.h"
#include "device/simulated/SimulatedDeviceConfig.h"
#include "device/simulated/SimulatedDeviceSystem.h"
#include "engine/Engine.h"
#include "protocol/Output.h"

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace {

struct SessionEnded {};

std::string& root() {
    static std::string path;
    return path;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW* entry) {
    if (entry->level > 0) ::remove(path);
    return 0;
}

// Removes everything the engines made: their private directories and whatever is in them.
void emptyRoot() {
    ::nftw(root().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Waits for `done`, checked on the control queue. Without devices nothing takes long: an engine
// that stays busy, or stays alive once let go, is stuck or leaked, and reported as a crash.
template <typename Done>
void waitFor(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        bool finished = false;
        qv::controlQueue().sync([&] { finished = done(); });
        if (finished) return;
        if (std::chrono::steady_clock::now() > deadline) std::abort();
        std::this_thread::yield();
    }
}

// Returns once the engine has no transition in progress and every line it sent is written.
void settle(const std::shared_ptr<qv::Engine>& engine, qv::Output& output) {
    waitFor([&] { return !engine->lifecycle().busy() && output.pendingLines() == 0; });
}

// The permissions of a first line that describes simulated players, without their devices.
std::optional<qv::SimulatedDeviceConfig> permissionsOnly(std::string_view line) {
    try {
        auto config = qv::SimulatedDeviceConfig::parse(line);
        config.video.clear();
        config.audio.clear();
        for (auto* answer : {&config.videoAnswer, &config.audioAnswer}) answer->answerAfterMs = 0.0;
        return config;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/qv-fuzz-engine-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    root() = pattern;
    ::setenv("TMPDIR", pattern, 1);
    qv::setExitHook([](int) { throw SessionEnded{}; });
    // Anything but an ended session escaping a queue is a fault.
    qv::setUncaughtTaskHandler([] {
        try {
            throw;
        } catch (const SessionEnded&) {
        } catch (...) {
            std::abort();
        }
    });
    std::atexit([] {
        emptyRoot();
        ::rmdir(root().c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto nextLine = [&input] {
        const auto newline = input.find('\n');
        const std::string_view line = input.substr(0, newline);
        input.remove_prefix(newline == std::string_view::npos ? input.size() : newline + 1);
        return line;
    };

    qv::SimulatedDeviceConfig config;
    if (const auto permissions = permissionsOnly(input.substr(0, input.find('\n')))) {
        config = *permissions;
        nextLine();
    }
    auto output = std::make_shared<qv::Output>(quiet);
    auto engine = qv::Engine::create(output, std::make_shared<qv::SimulatedDeviceSystem>(config));

    while (!input.empty()) {
        const std::string_view line = nextLine();
        const qv::Json request = qv::Json::parse(line.begin(), line.end(), nullptr, false);
        if (!request.is_object()) continue;
        qv::controlQueue().sync([&] { engine->request(request); });
        settle(engine, *output);
    }

    const std::weak_ptr<qv::Engine> released = engine;
    qv::controlQueue().sync([&] { engine.reset(); });
    waitFor([&] { return released.expired(); });
    output.reset();
    emptyRoot();
    return 0;
}
