#pragma once

#include "device/DeviceSystem.h"

#include <atomic>
#include <memory>
#include <string>

namespace qv {

// The xdg-desktop-portal Camera portal: how a sandboxed program (Flatpak) asks for a camera and
// gets a PipeWire connection that shows it. Reached over the session bus with sd-bus, each call on
// a connection of its own with a bounded timeout, so a slow request never holds up a status read.
// Safe to use from any thread.
class CameraPortal {
public:
    enum class Answer { granted, denied, none };

    // The portal, when the session bus answers and has the Camera portal on it within
    // `timeoutSeconds` (which may include starting the portal); else null. Later calls wait at most
    // `callSeconds` for each reply.
    static std::shared_ptr<CameraPortal> connect(double timeoutSeconds, double callSeconds = 2.0);

    // The answer stored for this application: the permission store's entry where it can be read,
    // else the answer this process was given; "not determined" before either.
    AuthorizationStatus status();
    // Asks for the camera (AccessCamera) and waits for the user's answer up to `timeoutSeconds`;
    // none when no answer came, and the request is then withdrawn.
    Answer access(double timeoutSeconds);
    // A PipeWire socket that shows the cameras this application may use (OpenPipeWireRemote);
    // -1 when the portal refuses.
    int openPipeWireRemote();

private:
    CameraPortal(std::string appId, double callSeconds)
        : appId_(std::move(appId)), callSeconds_(callSeconds) {}

    std::string appId_;
    double callSeconds_;
    // 0 none yet, 1 granted, 2 denied.
    std::atomic<int> answered_{0};
};

// Whether this process runs inside a Flatpak sandbox, and its application id there ("" outside).
bool sandboxed();
std::string sandboxAppId();

}  // namespace qv
