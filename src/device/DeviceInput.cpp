#include "device/DeviceInput.h"

namespace qv {

namespace {
// How long stop() waits for the capture thread: many of its bounded steps.
constexpr double stopTimeoutSeconds = 2.0;
}  // namespace

DeviceInput::DeviceInput(CaptureDeviceRef device, std::string threadName, std::shared_ptr<Core> core)
    : CaptureInput(std::move(device)), threadName_(std::move(threadName)), core_(std::move(core)) {}

DeviceInput::~DeviceInput() {
    stop();
    release();
}

bool DeviceInput::start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) {
    if (thread_.running()) return true;
    switch (core_->prepare(outputs)) {
        case Core::Start::refused:
            return false;
        case Core::Start::idle:
            return true;
        case Core::Start::stream:
            break;
    }
    core_->delivering.store(true);
    try {
        thread_.start(threadName_,
                      [core = core_](const std::atomic<bool>& stopRequested) { core->run(stopRequested); });
    } catch (...) {
        core_->delivering.store(false);
        throw;
    }
    return true;
}

void DeviceInput::stop() {
    core_->delivering.store(false);
    thread_.stop(stopTimeoutSeconds);
}

bool DeviceInput::release() {
    if (thread_.running()) return false;
    return core_->close();
}

bool DeviceInput::unplugged() const {
    return core_->unplugged.load();
}

bool DeviceInput::streaming() const {
    return thread_.running();
}

}  // namespace qv
