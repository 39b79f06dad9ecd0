#include "device/CaptureThread.h"

#include "base/FaultInjection.h"
#include "base/Semaphore.h"

#include <pthread.h>

namespace qv {

struct CaptureThread::State {
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> ended{false};
    Semaphore finished;
};

CaptureThread::~CaptureThread() {
    stop(2.0);
}

void CaptureThread::start(const std::string& name, std::function<void(const std::atomic<bool>&)> body) {
    stop(2.0);
    FaultInjection::acquire(FaultInjection::Kind::thread);
    // Kept only once the thread exists: a thread that could not be made never counts as running,
    // which would leave its device's release unconfirmed.
    auto state = std::make_shared<State>();
    thread_ = std::thread([state, name = name.substr(0, 15), body = std::move(body)] {
        pthread_setname_np(pthread_self(), name.c_str());
        body(state->stopRequested);
        state->ended.store(true);
        state->finished.signal();
    });
    state_ = std::move(state);
}

bool CaptureThread::stop(double timeoutSeconds) {
    if (!thread_.joinable()) return !state_ || state_->ended.load();
    state_->stopRequested.store(true);
    if (state_->finished.wait(timeoutSeconds)) {
        thread_.join();
        return true;
    }
    thread_.detach();
    return false;
}

bool CaptureThread::running() const {
    return state_ && !state_->ended.load();
}

}  // namespace qv
