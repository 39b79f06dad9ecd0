#pragma once

#include "HelperProcess.h"

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace qvtest {

// A private session bus, PipeWire and WirePlumber in a scratch runtime directory, as a desktop
// session runs them, test players published on it (the build's test-player) and, on demand, the
// desktop's portal with the build's test-portal answering for the user.
// Each process runs in a process group of its own, which the stack ends on the way out (SIGTERM,
// then SIGKILL after a bounded wait). running() is false when a part is not installed or did not
// come up: tests then skip.
class PipeWireStack {
public:
    PipeWireStack();
    ~PipeWireStack();
    PipeWireStack(const PipeWireStack&) = delete;
    PipeWireStack& operator=(const PipeWireStack&) = delete;

    bool running() const { return running_; }
    // What a helper needs in its environment to reach this stack.
    const std::map<std::string, std::string>& env() const { return env_; }

    // Publishes the test player `name` (a camera in `format` and its microphone, whose clock runs
    // `clockPpm` fast, with a sync mark every `markMs` when given, in cycles of `quantum` samples, or
    // of what its followers ask when 0; see tools/TestPlayer.cpp) and waits until both nodes are in
    // the graph; returns its process id, or -1.
    pid_t addPlayer(const std::string& name = "Quorvelle - Player 01", const std::string& format = "YUY2",
                    double clockPpm = 0, int markMs = 0, int quantum = 1024);
    // Puts the desktop's camera portal on the bus: xdg-desktop-portal and its permission store,
    // with the build's test-portal as the dialog that asks the user, answering `mode` (grant, deny
    // or silent). Waits until the portal owns its name; false when it is not installed or did not
    // come up.
    bool addPortal(const std::string& mode);
    // Keeps `answer` ("yes" or "no") as application `appId`'s camera permission in the permission
    // store, as a user's earlier answer is kept.
    bool storeCameraPermission(const std::string& appId, const std::string& answer) const;
    // The applications the dialog was asked about so far, one a line.
    std::string asked() const;
    // The frame periods the player `pid` could not fill so far (see test-player); -1 when unknown.
    long missedFrames(pid_t pid) const;
    // The samples of the latest cycle of player `pid`'s microphone: 0 before the first, -1 when unknown.
    long microphoneCycle(pid_t pid) const;
    // Ends one process this stack started (a player, say): SIGKILL, as an unplugged device goes.
    void kill(pid_t pid);
    // What `pw-cli ls Node` says about the graph.
    std::string nodes() const;

private:
    std::string shell(const std::string& command) const;
    bool owned(const std::string& busName) const;
    // Starts `args` with this stack's environment and `extra` on top.
    pid_t start(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra = {});

    TempDir runtime_;
    std::map<std::string, std::string> env_;
    std::vector<pid_t> processes_;
    std::map<pid_t, std::string> missedFiles_;
    bool running_ = false;
};

}  // namespace qvtest
