#pragma once

#include <pipewire/pipewire.h>

#include <functional>
#include <memory>

namespace qv {

// One connection to the PipeWire daemon, served by a thread loop of its own. Every call into
// PipeWire objects of this connection is made while holding its Lock; the loop thread runs the
// listeners with the lock held, and wakes waiters with signal().
class PipeWireConnection {
public:
    // Connects to the daemon: through `fd` when it is a socket already opened (the camera portal
    // hands one out; the connection takes it over), else through the usual socket. Null when
    // nothing answers within `timeoutSeconds`.
    static std::unique_ptr<PipeWireConnection> open(double timeoutSeconds, int fd = -1);
    ~PipeWireConnection();
    PipeWireConnection(const PipeWireConnection&) = delete;
    PipeWireConnection& operator=(const PipeWireConnection&) = delete;

    class Lock {
    public:
        explicit Lock(PipeWireConnection& connection) : loop_(connection.loop_) {
            pw_thread_loop_lock(loop_);
        }
        ~Lock() { pw_thread_loop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pw_thread_loop* loop_;
    };

    pw_core* core() const { return core_; }
    pw_thread_loop* loop() const { return loop_; }

    // With the lock held: waits until `done` holds, the connection fails or `seconds` pass. True
    // when `done` held.
    bool waitFor(const std::function<bool()>& done, double seconds);
    // With the lock held: a round trip to the daemon, so that every reply to what was sent before
    // has arrived. False when it did not come back in time.
    bool roundTrip(double seconds);
    // Wakes the waiters; from listeners on the loop thread.
    void signal() { pw_thread_loop_signal(loop_, false); }
    // True once the daemon has gone or refused the connection.
    bool failed() const { return failed_; }

private:
    PipeWireConnection() = default;
    // With the lock held, before anything else is waited for on a new connection: waits until this
    // client is among the objects it sees. A client the daemon restricts (one made by the camera
    // portal, or a sandboxed one) sees nothing until the session manager grants it its view, some
    // time after the connection is up.
    bool awaitOwnClient(double seconds);
    static void onDone(void* data, uint32_t id, int seq);
    static void onError(void* data, uint32_t id, int seq, int res, const char* message);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_core_events coreEvents_{};
    int pendingSync_ = -1;
    bool synced_ = false;
    bool failed_ = false;
};

// Readies libpipewire for the helper: once per process, with its log silenced (standard error
// carries nothing but the helper's few fixed lines).
void preparePipeWire();

}  // namespace qv
