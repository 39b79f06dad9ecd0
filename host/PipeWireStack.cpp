#include "PipeWireStack.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

namespace qvtest {

namespace {

bool within(double seconds, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

void writeFile(const std::string& path, const std::string& text) {
    if (FILE* file = std::fopen(path.c_str(), "w")) {
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }
}

// Count `which` (0 or 1) of a player's missed-file.
long playerCount(const std::map<pid_t, std::string>& files, pid_t pid, int which) {
    const auto found = files.find(pid);
    if (found == files.end()) return -1;
    long counts[2] = {-1, -1};
    if (FILE* file = std::fopen(found->second.c_str(), "r")) {
        if (std::fscanf(file, "%ld %ld", &counts[0], &counts[1]) != 2) counts[0] = counts[1] = -1;
        std::fclose(file);
    }
    return counts[which];
}

// The whole of a file; empty when there is none.
std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string buildDirectory() {
    const std::string path = helperPath();
    return path.substr(0, path.rfind('/'));
}

bool reap(pid_t pid, double seconds) {
    return within(seconds, [&] { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(-pid, SIGTERM);
    if (reap(pid, 5.0)) return;
    ::kill(-pid, SIGKILL);
    reap(pid, 5.0);
}

}  // namespace

PipeWireStack::PipeWireStack() {
    for (const char* tool : {"dbus-daemon", "dbus-send", "pipewire", "wireplumber", "pw-cli"}) {
        if (shell(std::string("command -v ") + tool + " >/dev/null 2>&1; echo $?") != "0\n") return;
    }
    const std::string& dir = runtime_.path();
    ::chmod(dir.c_str(), 0700);
    const std::string bus = dir + "/bus";
    writeFile(dir + "/bus.conf",
              "<busconfig><type>session</type><listen>unix:path=" + bus +
                  "</listen><policy context=\"default\"><allow send_destination=\"*\" "
                  "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                  "</busconfig>\n");
    env_ = {{"XDG_RUNTIME_DIR", dir},
            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus},
            // WirePlumber keeps what it learns (default nodes, stream targets) out of $HOME.
            {"XDG_STATE_HOME", dir + "/state"},
            {"XDG_CONFIG_HOME", dir + "/config"},
            // The permission store keeps the answers it is given there.
            {"XDG_DATA_HOME", dir + "/data"},
            {"PIPEWIRE_RUNTIME_DIR", dir},
            {"PIPEWIRE_REMOTE", "pipewire-0"}};
    start({"dbus-daemon", "--nofork", "--config-file=" + dir + "/bus.conf"});
    if (!within(10.0, [&] { return exists(bus); })) return;
    start({"pipewire"});
    if (!within(10.0, [&] { return exists(dir + "/pipewire-0"); })) return;
    start({"wireplumber"});
    running_ = within(10.0, [&] { return nodes().find("Dummy-Driver") != std::string::npos; });
}

PipeWireStack::~PipeWireStack() {
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) stop(*it);
}

pid_t PipeWireStack::addPlayer(const std::string& name, const std::string& format, double clockPpm,
                               int markMs, int quantum) {
    // Players share their node names: this one is up when one more of each is in the graph.
    const auto count = [](const std::string& text, const std::string& word) {
        std::size_t n = 0;
        for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
        return n;
    };
    const std::string before = nodes();
    const std::string missed = runtime_.path() + "/missed-" + std::to_string(missedFiles_.size());
    const pid_t pid = start({buildDirectory() + "/test-player", name, "0", format, missed,
                             std::to_string(clockPpm), std::to_string(markMs), std::to_string(quantum)});
    missedFiles_[pid] = missed;
    const bool up = within(10.0, [&] {
        const std::string listed = nodes();
        return count(listed, "\"quorvelle-test-camera\"") > count(before, "\"quorvelle-test-camera\"") &&
               count(listed, "\"quorvelle-test-microphone\"") >
                   count(before, "\"quorvelle-test-microphone\"");
    });
    return up ? pid : -1;
}

bool PipeWireStack::addPortal(const std::string& mode) {
    const std::string portal = "/usr/libexec/xdg-desktop-portal";
    const std::string store = "/usr/libexec/xdg-permission-store";
    if (!running_ || ::access(portal.c_str(), X_OK) != 0 || ::access(store.c_str(), X_OK) != 0) return false;
    const std::string& dir = runtime_.path();
    // The portal takes its backends from the .portal files of this directory that name the
    // desktop it runs in.
    ::mkdir((dir + "/portals").c_str(), 0700);
    writeFile(dir + "/portals/quorvelletest.portal",
              "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.quorvelletest\n"
              "Interfaces=org.freedesktop.impl.portal.Access;\nUseIn=quorvelletest\n");
    start({store, "--replace"});
    start({buildDirectory() + "/test-portal", mode, dir + "/asked"});
    if (!within(10.0, [&] {
            return owned("org.freedesktop.impl.portal.PermissionStore") &&
                   owned("org.freedesktop.impl.portal.desktop.quorvelletest");
        }))
        return false;
    start({portal}, {{"XDG_CURRENT_DESKTOP", "quorvelletest"}, {"XDG_DESKTOP_PORTAL_DIR", dir + "/portals"}});
    return within(10.0, [&] { return owned("org.freedesktop.portal.Desktop"); });
}

bool PipeWireStack::storeCameraPermission(const std::string& appId, const std::string& answer) const {
    return shell(
               "timeout 5 dbus-send --session --print-reply "
               "--dest=org.freedesktop.impl.portal.PermissionStore "
               "/org/freedesktop/impl/portal/PermissionStore "
               "org.freedesktop.impl.portal.PermissionStore.SetPermission string:devices boolean:true "
               "string:camera string:'" +
               appId + "' array:string:" + answer + " >/dev/null 2>&1; echo $?") == "0\n";
}

std::string PipeWireStack::asked() const {
    return readFile(runtime_.path() + "/asked");
}

long PipeWireStack::missedFrames(pid_t pid) const {
    return playerCount(missedFiles_, pid, 0);
}

long PipeWireStack::microphoneCycle(pid_t pid) const {
    return playerCount(missedFiles_, pid, 1);
}

void PipeWireStack::kill(pid_t pid) {
    for (auto& process : processes_) {
        if (process == pid) {
            ::kill(-pid, SIGKILL);
            reap(pid, 5.0);
            process = -1;
        }
    }
}

std::string PipeWireStack::nodes() const {
    return shell("timeout 5 pw-cli ls Node 2>/dev/null");
}

bool PipeWireStack::owned(const std::string& busName) const {
    return shell(
               "timeout 5 dbus-send --session --print-reply --dest=org.freedesktop.DBus "
               "/org/freedesktop/DBus "
               "org.freedesktop.DBus.NameHasOwner string:" +
               busName + " 2>/dev/null")
               .find("boolean true") != std::string::npos;
}

std::string PipeWireStack::shell(const std::string& command) const {
    std::string prefix;
    for (const auto& [key, value] : env_) prefix += key + "='" + value + "' ";
    std::string text;
    if (FILE* pipe = ::popen((prefix + command).c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
        ::pclose(pipe);
    }
    return text;
}

pid_t PipeWireStack::start(const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& extra) {
    auto env = env_;
    for (const auto& [key, value] : extra) env[key] = value;
    std::vector<std::string> envText;
    for (const auto& [key, value] : env) envText.push_back(key + "=" + value);
    const std::string log = runtime_.path() + "/log";
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        for (auto& entry : envText) ::putenv(entry.data());
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const int none = ::open("/dev/null", O_RDONLY);
        ::dup2(none, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    if (pid > 0) {
        ::setpgid(pid, pid);
        processes_.push_back(pid);
    }
    return pid;
}

}  // namespace qvtest
