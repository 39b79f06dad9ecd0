// A desktop's portal backend for the tests, in place of the dialog that asks the user: the real
// xdg-desktop-portal calls it to ask whether an application may use the camera, and it answers as
// told.
//
//   test-portal grant|deny|silent [ASKED]
//
// AccessDialog answers "allow" or "deny" at once, or never (silent: the dialog stays open until
// the portal closes it). Each application asked about is appended to the file ASKED, one a line.

#include <systemd/sd-bus.h>

#include <cstdio>
#include <string>

namespace {

constexpr const char* busName = "org.freedesktop.impl.portal.desktop.quorvelletest";

std::string mode;
std::string asked;
// Dialogs left open (silent), each held until the portal closes it.
sd_bus_message* open = nullptr;

int accessDialog(sd_bus_message* call, void*, sd_bus_error*) {
    const char* handle = nullptr;
    const char* app = nullptr;
    if (sd_bus_message_read(call, "os", &handle, &app) < 0) return -1;
    if (FILE* file = std::fopen(asked.c_str(), "a")) {
        std::fprintf(file, "%s\n", app);
        std::fclose(file);
    }
    if (mode == "silent") {
        sd_bus_message_unref(open);
        open = sd_bus_message_ref(call);
        return 1;
    }
    // 0: the user allowed it; 1: the user refused.
    return sd_bus_reply_method_return(call, "ua{sv}", mode == "grant" ? 0u : 1u, 0);
}

int closeDialog(sd_bus_message* call, void*, sd_bus_error*) {
    if (open != nullptr) {
        // 2: the dialog ended without an answer.
        sd_bus_reply_method_return(open, "ua{sv}", 2u, 0);
        open = sd_bus_message_unref(open);
    }
    return sd_bus_reply_method_return(call, "");
}

const sd_bus_vtable accessTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("AccessDialog", "osssssa{sv}", "ua{sv}", accessDialog, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable requestTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Close", "", "", closeDialog, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
    mode = argc > 1 ? argv[1] : "grant";
    asked = argc > 2 ? argv[2] : "/dev/null";
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return 1;
    sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/portal/desktop",
                             "org.freedesktop.impl.portal.Access", accessTable, nullptr);
    sd_bus_add_fallback_vtable(bus, nullptr, "/org/freedesktop/portal/desktop/request",
                               "org.freedesktop.impl.portal.Request", requestTable, nullptr, nullptr);
    if (sd_bus_request_name(bus, busName, 0) < 0) return 1;
    for (;;) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) return 1;
        if (processed == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
    }
}
