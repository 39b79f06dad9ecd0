#pragma once

#include "HelperProcess.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace qvtest {

// A private session bus, PipeWire and WirePlumber in a scratch runtime directory, as a desktop
// session runs them, and test players published on it (the build's test-player). Each process
// runs in a process group of its own, which the stack ends on the way out (SIGTERM, then SIGKILL
// after a bounded wait). running() is false when a part is not installed or did not come up:
// tests then skip.
class PipeWireStack {
public:
    PipeWireStack() {
        for (const char* tool : {"dbus-daemon", "dbus-send", "pipewire", "wireplumber", "pw-cli"}) {
            if (shell(std::string("command -v ") + tool + " >/dev/null 2>&1; echo $?") != "0\n") return;
        }
        const std::string& dir = runtime_.path();
        ::chmod(dir.c_str(), 0700);
        const std::string bus = dir + "/bus";
        writeFile(
            dir + "/bus.conf",
            "<busconfig><type>session</type><listen>unix:path=" + bus +
                "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        env_ = {{"XDG_RUNTIME_DIR", dir},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus},
                // WirePlumber keeps what it learns (default nodes, stream targets) out of $HOME.
                {"XDG_STATE_HOME", dir + "/state"},
                {"XDG_CONFIG_HOME", dir + "/config"},
                {"PIPEWIRE_RUNTIME_DIR", dir},
                {"PIPEWIRE_REMOTE", "pipewire-0"}};
        start({"dbus-daemon", "--nofork", "--config-file=" + dir + "/bus.conf"});
        if (!waitUntil([&] { return exists(bus); }, 10.0)) return;
        start({"pipewire"});
        if (!waitUntil([&] { return exists(dir + "/pipewire-0"); }, 10.0)) return;
        start({"wireplumber"});
        running_ = waitUntil([&] { return nodes().find("Dummy-Driver") != std::string::npos; }, 10.0);
    }

    ~PipeWireStack() {
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) stop(*it);
    }

    PipeWireStack(const PipeWireStack&) = delete;
    PipeWireStack& operator=(const PipeWireStack&) = delete;

    bool running() const { return running_; }
    // What a helper needs in its environment to reach this stack.
    const std::map<std::string, std::string>& env() const { return env_; }

    // Publishes the test player `name` (a camera and its microphone) and waits until both nodes
    // are in the graph; returns its process id, or -1.
    pid_t addPlayer(const std::string& name = "Quorvelle - Player 01") {
        const pid_t pid = start({helperDirectory() + "/test-player", name});
        const bool up = waitUntil(
            [&] {
                const std::string listed = nodes();
                return listed.find("quorvelle-test-camera") != std::string::npos &&
                       listed.find("quorvelle-test-microphone") != std::string::npos;
            },
            10.0);
        return up ? pid : -1;
    }

    // Puts the stand-in camera portal on the bus (test-portal `mode` `stored`) and waits until it
    // owns its name; returns its process id, or -1.
    pid_t addPortal(const std::string& mode, const std::string& stored) {
        const pid_t pid = start({helperDirectory() + "/test-portal", mode, stored});
        const std::string ask =
            "timeout 5 dbus-send --session --print-reply --dest=org.freedesktop.DBus "
            "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner "
            "string:org.freedesktop.portal.Desktop 2>/dev/null";
        const bool up = waitUntil([&] { return shell(ask).find("boolean true") != std::string::npos; }, 10.0);
        return up ? pid : -1;
    }

    // Ends one process this stack started (a player, say): SIGKILL, as an unplugged device goes.
    void kill(pid_t pid) {
        for (auto& process : processes_) {
            if (process == pid) {
                ::kill(-pid, SIGKILL);
                reap(pid, 5.0);
                process = -1;
            }
        }
    }

    // What `pw-cli ls Node` says about the graph.
    std::string nodes() const { return shell("timeout 5 pw-cli ls Node 2>/dev/null"); }

private:
    static std::string helperDirectory() {
        std::string path = helperPath();
        return path.substr(0, path.rfind('/'));
    }

    static bool exists(const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0;
    }

    static void writeFile(const std::string& path, const std::string& text) {
        if (FILE* file = std::fopen(path.c_str(), "w")) {
            std::fputs(text.c_str(), file);
            std::fclose(file);
        }
    }

    std::string shell(const std::string& command) const {
        std::string prefix;
        for (const auto& [key, value] : env_) prefix += key + "='" + value + "' ";
        std::string text;
        if (FILE* pipe = ::popen((prefix + command).c_str(), "r")) {
            char buffer[4096];
            for (std::size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
                text.append(buffer, n);
            ::pclose(pipe);
        }
        return text;
    }

    pid_t start(const std::vector<std::string>& args) {
        std::vector<std::string> envText;
        for (const auto& [key, value] : env_) envText.push_back(key + "=" + value);
        const std::string log = runtime_.path() + "/log";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            for (auto& entry : envText) ::putenv(entry.data());
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            const int none = ::open("/dev/null", O_RDONLY);
            ::dup2(none, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            std::vector<char*> argv;
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        if (pid > 0) {
            ::setpgid(pid, pid);
            processes_.push_back(pid);
        }
        return pid;
    }

    static bool reap(pid_t pid, double seconds) {
        return waitUntil([&] { return ::waitpid(pid, nullptr, WNOHANG) != 0; }, seconds);
    }

    static void stop(pid_t pid) {
        if (pid <= 0) return;
        ::kill(-pid, SIGTERM);
        if (reap(pid, 5.0)) return;
        ::kill(-pid, SIGKILL);
        reap(pid, 5.0);
    }

    TempDir runtime_;
    std::map<std::string, std::string> env_;
    std::vector<pid_t> processes_;
    bool running_ = false;
};

}  // namespace qvtest
