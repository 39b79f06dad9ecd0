#pragma once

#include "base/Json.h"
#include "base/Limits.h"
#include "base/Queue.h"

#include <functional>
#include <mutex>

namespace qv {

// The only writer of standard output: one bounded, sorted-key JSON line per send, written by a
// serial writer with a per-line deadline so that a host that stops reading never blocks the engine.
class Output {
public:
    static constexpr int pollMs = 100;

    // `fd` is standard output in the helper; tests give a pipe.
    explicit Output(int fd = 1, const Limits& limits = protocolLimits);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Called once for every line refused or failed; never under the lock.
    void setOnFailure(std::function<void()> handler);

    // Never throws and never waits for the host; safe from any thread.
    void send(const Json& object);
    // Ends the process with `code` behind every line already queued.
    void exitAfterDraining(int code);

    // For tests: what is accepted and not yet written.
    int pendingLines();

private:
    void fail();
    void write(const std::string& line);

    int fd_;
    const Limits limits_;
    std::mutex lock_;
    std::size_t pendingBytes_ = 0;
    int pendingLines_ = 0;
    std::function<void()> onFailure_;
    Queue queue_;
};

}  // namespace qv
