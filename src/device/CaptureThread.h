#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace qv {

// The thread of one real capture device. Its body waits on the device in short bounded steps and
// looks at the stop flag between them, so a stop is answered within one step; a body stuck
// inside the kernel beyond the caller's patience is left to finish on its own.
class CaptureThread {
public:
    CaptureThread() = default;
    ~CaptureThread();
    CaptureThread(const CaptureThread&) = delete;
    CaptureThread& operator=(const CaptureThread&) = delete;

    // Runs `body(stopRequested)` on a new thread named `name`. The body must keep alive whatever
    // it uses (it may outlive this object). Throws std::system_error when no thread can be made;
    // nothing then runs.
    void start(const std::string& name, std::function<void(const std::atomic<bool>&)> body);
    // Asks the body to return and waits up to `timeoutSeconds`. True when the thread has ended (or
    // never ran); false when it is still inside the body, which then finishes unobserved.
    bool stop(double timeoutSeconds);
    // True from start until the body has returned.
    bool running() const;

    struct State;

private:
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace qv
