// A stand-in for xdg-desktop-portal's Camera portal and its permission store on the session bus,
// answering as told, for the tests of the helper's portal use.
//
//   test-portal grant|deny|silent [yes|no]
//
// AccessCamera answers "granted" or "denied" at once, or never (silent: the request stays open
// until the caller closes it). The permission store holds the given answer for the application
// "" (not sandboxed) from the start, and the last answer given afterwards. OpenPipeWireRemote
// hands out a connection to the PipeWire socket in $XDG_RUNTIME_DIR.

#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string mode;
std::string stored;

int isCameraPresent(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                    sd_bus_error*) {
    return sd_bus_message_append(reply, "b", 1);
}

int version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "u", 1u);
}

// The Request object's path for the caller's token, as the portal documents it.
std::string requestPath(sd_bus_message* call, const std::string& token) {
    std::string sender = sd_bus_message_get_sender(call) + 1;
    for (auto& c : sender) {
        if (c == '.') c = '_';
    }
    return "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
}

int accessCamera(sd_bus_message* call, void*, sd_bus_error*) {
    std::string token = "t";
    if (sd_bus_message_enter_container(call, 'a', "{sv}") >= 0) {
        while (sd_bus_message_enter_container(call, 'e', "sv") > 0) {
            const char* key = nullptr;
            sd_bus_message_read(call, "s", &key);
            if (key != nullptr && std::strcmp(key, "handle_token") == 0) {
                const char* value = nullptr;
                sd_bus_message_read(call, "v", "s", &value);
                if (value != nullptr) token = value;
            } else {
                sd_bus_message_skip(call, "v");
            }
            sd_bus_message_exit_container(call);
        }
    }
    const std::string path = requestPath(call, token);
    const int replied = sd_bus_reply_method_return(call, "o", path.c_str());
    if (mode == "silent") return replied;
    stored = mode == "grant" ? "yes" : "no";
    sd_bus_emit_signal(sd_bus_message_get_bus(call), path.c_str(), "org.freedesktop.portal.Request",
                       "Response", "ua{sv}", mode == "grant" ? 0u : 1u, 0);
    return replied;
}

int openPipeWireRemote(sd_bus_message* call, void*, sd_bus_error* error) {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/pipewire-0", dir != nullptr ? dir : "");
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        return sd_bus_error_set(error, "org.freedesktop.portal.Error.Failed", "no PipeWire");
    }
    const int replied = sd_bus_reply_method_return(call, "h", fd);
    close(fd);
    return replied;
}

int closeRequest(sd_bus_message* call, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(call, "");
}

int lookup(sd_bus_message* call, void*, sd_bus_error* error) {
    if (stored.empty()) return sd_bus_error_set(error, "org.freedesktop.portal.Error.NotFound", "No entry");
    return sd_bus_reply_method_return(call, "a{sas}v", 1, "", 1, stored.c_str(), "b", 0);
}

const sd_bus_vtable cameraTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("IsCameraPresent", "b", isCameraPresent, 0, 0),
    SD_BUS_PROPERTY("version", "u", version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("AccessCamera", "a{sv}", "o", accessCamera, 0),
    SD_BUS_METHOD("OpenPipeWireRemote", "a{sv}", "h", openPipeWireRemote, 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable requestTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Close", "", "", closeRequest, 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable storeTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Lookup", "ss", "a{sas}v", lookup, 0),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
    mode = argc > 1 ? argv[1] : "grant";
    stored = argc > 2 ? argv[2] : "";
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return 1;
    sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Camera",
                             cameraTable, nullptr);
    sd_bus_add_fallback_vtable(bus, nullptr, "/org/freedesktop/portal/desktop/request",
                               "org.freedesktop.portal.Request", requestTable, nullptr, nullptr);
    sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/impl/portal/PermissionStore",
                             "org.freedesktop.impl.portal.PermissionStore", storeTable, nullptr);
    // The store first: whoever sees the portal may ask the store at once.
    if (sd_bus_request_name(bus, "org.freedesktop.impl.portal.PermissionStore", 0) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.portal.Desktop", 0) < 0)
        return 1;
    for (;;) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) return 1;
        if (processed == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
    }
}
