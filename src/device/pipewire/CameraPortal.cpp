#include "device/pipewire/CameraPortal.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>

namespace qv {

namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* cameraInterface = "org.freedesktop.portal.Camera";
constexpr const char* requestInterface = "org.freedesktop.portal.Request";
constexpr const char* storeName = "org.freedesktop.impl.portal.PermissionStore";
constexpr const char* storePath = "/org/freedesktop/impl/portal/PermissionStore";
// Where the sandbox describes the application it runs.
constexpr const char* flatpakInfo = "/.flatpak-info";

std::uint64_t microseconds(double seconds) {
    return seconds > 0 ? static_cast<std::uint64_t>(seconds * 1e6) : 1;
}

// A session-bus connection whose method calls give up after `seconds`; freed on scope exit.
struct Bus {
    sd_bus* bus = nullptr;
    explicit Bus(double seconds) {
        if (sd_bus_open_user(&bus) < 0) {
            bus = nullptr;
            return;
        }
        sd_bus_set_method_call_timeout(bus, microseconds(seconds));
    }
    ~Bus() { sd_bus_flush_close_unref(bus); }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    explicit operator bool() const { return bus != nullptr; }
};

// Releases what sd-bus handed out, on every path.
struct Reply {
    sd_bus_message* message = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Reply() {
        sd_bus_message_unref(message);
        sd_bus_error_free(&error);
    }
};

std::string requestToken() {
    std::random_device random;
    return "quorvelle" + std::to_string(random());
}

// The path of the Request object the portal makes for `token`: the caller's unique bus name
// without its ':' and with '_' for '.', then the token.
std::string requestPath(sd_bus* bus, const std::string& token) {
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus, &unique) < 0 || unique == nullptr) return {};
    std::string sender = unique[0] == ':' ? unique + 1 : unique;
    for (auto& c : sender) {
        if (c == '.') c = '_';
    }
    return std::string(portalPath) + "/request/" + sender + "/" + token;
}

struct Waiting {
    CameraPortal::Answer answer = CameraPortal::Answer::none;
    bool done = false;
};

int onResponse(sd_bus_message* message, void* data, sd_bus_error* /*error*/) {
    auto& waiting = *static_cast<Waiting*>(data);
    std::uint32_t response = 2;
    if (sd_bus_message_read(message, "u", &response) < 0) return 0;
    // 0: granted; 1: the user refused; 2: the dialog ended otherwise.
    waiting.answer = response == 0 ? CameraPortal::Answer::granted : CameraPortal::Answer::denied;
    waiting.done = true;
    return 0;
}

}  // namespace

bool sandboxed() {
    return ::access(flatpakInfo, F_OK) == 0;
}

std::string sandboxAppId() {
    std::ifstream info(flatpakInfo);
    std::string line;
    bool application = false;
    while (std::getline(info, line)) {
        if (!line.empty() && line[0] == '[') application = line == "[Application]";
        if (application && line.rfind("name=", 0) == 0) return line.substr(5);
    }
    return {};
}

std::shared_ptr<CameraPortal> CameraPortal::connect(double timeoutSeconds, double callSeconds) {
    Bus bus(timeoutSeconds);
    if (!bus) return nullptr;
    Reply reply;
    int present = 0;
    if (sd_bus_get_property_trivial(bus.bus, portalName, portalPath, cameraInterface, "IsCameraPresent",
                                    &reply.error, 'b', &present) < 0)
        return nullptr;
    return std::shared_ptr<CameraPortal>(new CameraPortal(sandboxAppId(), callSeconds));
}

AuthorizationStatus CameraPortal::status() {
    const int answered = answered_.load();
    const auto remembered = answered == 1   ? AuthorizationStatus::authorized
                            : answered == 2 ? AuthorizationStatus::denied
                                            : AuthorizationStatus::notDetermined;
    Bus bus(callSeconds_);
    Reply reply;
    // A sandbox may not reach the store; then only this process's own answer is known.
    if (!bus || sd_bus_call_method(bus.bus, storeName, storePath, storeName, "Lookup", &reply.error,
                                   &reply.message, "ss", "devices", "camera") < 0)
        return remembered;
    if (sd_bus_message_enter_container(reply.message, 'a', "{sas}") < 0) return remembered;
    while (sd_bus_message_enter_container(reply.message, 'e', "sas") > 0) {
        const char* app = nullptr;
        char** values = nullptr;
        if (sd_bus_message_read(reply.message, "s", &app) < 0 ||
            sd_bus_message_read_strv(reply.message, &values) < 0)
            return remembered;
        const bool mine = app != nullptr && appId_ == app;
        const std::string first = values != nullptr && values[0] != nullptr ? values[0] : "";
        for (char** value = values; value != nullptr && *value != nullptr; ++value) std::free(*value);
        std::free(values);
        sd_bus_message_exit_container(reply.message);
        if (!mine) continue;
        if (first == "yes") return AuthorizationStatus::authorized;
        if (first == "no") return AuthorizationStatus::denied;
        return AuthorizationStatus::notDetermined;
    }
    return remembered;
}

CameraPortal::Answer CameraPortal::access(double timeoutSeconds) {
    Bus bus(callSeconds_);
    if (!bus) return Answer::none;
    const std::string token = requestToken();
    const std::string path = requestPath(bus.bus, token);
    Waiting waiting;
    sd_bus_slot* slot = nullptr;
    // Listen before asking, so that an answer given at once is not missed.
    if (path.empty() || sd_bus_match_signal(bus.bus, &slot, nullptr, path.c_str(), requestInterface,
                                            "Response", onResponse, &waiting) < 0)
        return Answer::none;
    Reply reply;
    const int called =
        sd_bus_call_method(bus.bus, portalName, portalPath, cameraInterface, "AccessCamera", &reply.error,
                           &reply.message, "a{sv}", 1, "handle_token", "s", token.c_str());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (called >= 0 && !waiting.done) {
        const double left =
            std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        const int processed = sd_bus_process(bus.bus, nullptr);
        if (processed < 0) break;
        if (processed == 0 && sd_bus_wait(bus.bus, microseconds(left)) < 0) break;
    }
    sd_bus_slot_unref(slot);
    if (called >= 0 && !waiting.done) {
        // Withdraw the dialog nobody answered.
        Reply closed;
        sd_bus_call_method(bus.bus, portalName, path.c_str(), requestInterface, "Close", &closed.error,
                           nullptr, "");
    }
    if (waiting.answer != Answer::none) answered_.store(waiting.answer == Answer::granted ? 1 : 2);
    return waiting.answer;
}

int CameraPortal::openPipeWireRemote() {
    Bus bus(callSeconds_);
    Reply reply;
    int fd = -1;
    if (!bus ||
        sd_bus_call_method(bus.bus, portalName, portalPath, cameraInterface, "OpenPipeWireRemote",
                           &reply.error, &reply.message, "a{sv}", 0) < 0 ||
        sd_bus_message_read(reply.message, "h", &fd) < 0)
        return -1;
    // The descriptor belongs to the message; ours is a copy.
    return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

}  // namespace qv
