#include "device/pipewire/PipeWireConnection.h"

#include <unistd.h>

#include <cmath>
#include <ctime>
#include <mutex>
#include <optional>
#include <set>

namespace qv {

void preparePipeWire() {
    static std::once_flag once;
    std::call_once(once, [] {
        pw_init(nullptr, nullptr);
        pw_log_set_level(SPA_LOG_LEVEL_NONE);
    });
}

std::unique_ptr<PipeWireConnection> PipeWireConnection::open(double timeoutSeconds, int fd) {
    preparePipeWire();
    std::unique_ptr<PipeWireConnection> connection(new PipeWireConnection());
    connection->loop_ = pw_thread_loop_new("qv.pipewire", nullptr);
    if (connection->loop_ == nullptr) {
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    // No modules beyond the protocol: the helper only reads the graph and streams from it.
    connection->context_ = pw_context_new(pw_thread_loop_get_loop(connection->loop_),
                                          pw_properties_new(PW_KEY_CONFIG_NAME, "client.conf", nullptr), 0);
    if (connection->context_ == nullptr || pw_thread_loop_start(connection->loop_) != 0) {
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    Lock lock(*connection);
    connection->core_ = fd >= 0 ? pw_context_connect_fd(connection->context_, fd, nullptr, 0)
                                : pw_context_connect(connection->context_, nullptr, 0);
    if (connection->core_ == nullptr) return nullptr;
    connection->coreEvents_.version = PW_VERSION_CORE_EVENTS;
    connection->coreEvents_.done = onDone;
    connection->coreEvents_.error = onError;
    pw_core_add_listener(connection->core_, &connection->coreListener_, &connection->coreEvents_,
                         connection.get());
    if (!connection->awaitOwnClient(timeoutSeconds)) return nullptr;
    return connection;
}

bool PipeWireConnection::awaitOwnClient(double seconds) {
    // The daemon tells a new client its own id before anything else; the global of that id comes
    // with the client's view.
    struct View {
        PipeWireConnection* connection;
        std::optional<uint32_t> ownId;
        std::set<uint32_t> listed;
    } view{.connection = this, .ownId = {}, .listed = {}};
    pw_client* client = pw_core_get_client(core_);
    pw_registry* registry = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (client == nullptr || registry == nullptr) return false;
    spa_hook clientListener{};
    pw_client_events clientEvents{};
    clientEvents.version = PW_VERSION_CLIENT_EVENTS;
    clientEvents.info = [](void* data, const pw_client_info* info) {
        auto& v = *static_cast<View*>(data);
        v.ownId = info->id;
        v.connection->signal();
    };
    spa_hook registryListener{};
    pw_registry_events registryEvents{};
    registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents.global = [](void* data, uint32_t id, uint32_t, const char*, uint32_t, const spa_dict*) {
        auto& v = *static_cast<View*>(data);
        v.listed.insert(id);
        v.connection->signal();
    };
    pw_client_add_listener(client, &clientListener, &clientEvents, &view);
    pw_registry_add_listener(registry, &registryListener, &registryEvents, &view);
    const bool ready = waitFor([&] { return view.ownId && view.listed.contains(*view.ownId); }, seconds);
    spa_hook_remove(&registryListener);
    spa_hook_remove(&clientListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    return ready;
}

PipeWireConnection::~PipeWireConnection() {
    if (loop_ == nullptr) return;
    pw_thread_loop_lock(loop_);
    if (core_ != nullptr) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
    }
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (context_ != nullptr) pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

bool PipeWireConnection::waitFor(const std::function<bool()>& done, double seconds) {
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, static_cast<int64_t>(seconds * SPA_NSEC_PER_SEC));
    while (!done()) {
        if (failed_) return false;
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0) return done();
    }
    return true;
}

bool PipeWireConnection::roundTrip(double seconds) {
    synced_ = false;
    pendingSync_ = pw_core_sync(core_, PW_ID_CORE, 0);
    return waitFor([this] { return synced_; }, seconds);
}

void PipeWireConnection::onDone(void* data, uint32_t id, int seq) {
    auto* self = static_cast<PipeWireConnection*>(data);
    if (id == PW_ID_CORE && seq == self->pendingSync_) {
        self->synced_ = true;
        self->signal();
    }
}

void PipeWireConnection::onError(void* data, uint32_t id, int /*seq*/, int res, const char* /*message*/) {
    auto* self = static_cast<PipeWireConnection*>(data);
    // An error about the core itself (the daemon went away, or refused us) ends the connection;
    // errors about single objects are the caller's to notice.
    if (id == PW_ID_CORE && res < 0) {
        self->failed_ = true;
        self->signal();
    }
}

}  // namespace qv
