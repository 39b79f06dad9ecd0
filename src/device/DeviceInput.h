#pragma once

#include "device/CaptureInput.h"
#include "device/CaptureThread.h"

#include <atomic>
#include <memory>
#include <string>

namespace qv {

// A capture input read from a real device by a capture thread of its own. What the device needs
// lives in a Core shared with the thread, so that a thread stuck in the kernel past stop() still
// has its device: the release is then left unconfirmed instead of closing the device under it,
// and the thread closes it when it finally returns.
class DeviceInput : public CaptureInput {
public:
    class Core {
    public:
        enum class Start {
            refused,  // the device would not stream
            idle,     // ready, but with no output for its media nothing needs to run
            stream,   // ready: run() on the capture thread
        };

        virtual ~Core() = default;

        // Readies the device to stream into its output among `outputs`.
        virtual Start prepare(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) = 0;
        // The capture thread: reads until `stopRequested` or the device ends the stream, waiting
        // on the device only in short bounded steps.
        virtual void run(const std::atomic<bool>& stopRequested) = 0;
        // Closes the device; false when that could not be confirmed. Safe to call again.
        virtual bool close() = 0;

        // Cleared first thing in stop(): even a thread still inside the kernel delivers nothing
        // afterwards.
        std::atomic<bool> delivering{false};
        // Set by the thread when the device has gone (ENODEV).
        std::atomic<bool> unplugged{false};
    };

    ~DeviceInput() override;

    bool start(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) final;
    void stop() final;
    // Not confirmed while the capture thread is still running.
    bool release() final;

    // True once the device has gone.
    bool unplugged() const;
    // True while the capture thread runs.
    bool streaming() const;

protected:
    DeviceInput(CaptureDeviceRef device, std::string threadName, std::shared_ptr<Core> core);

    Core& core() const { return *core_; }

private:
    std::string threadName_;
    std::shared_ptr<Core> core_;
    CaptureThread thread_;
};

}  // namespace qv
