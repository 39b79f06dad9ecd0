#pragma once

#include "device/CaptureInput.h"
#include "device/CaptureOutput.h"

#include <memory>
#include <vector>

namespace qv {

// A capture session: at most one input and one output per media type. Not thread-safe: it is
// built, started, stopped and taken apart on one queue (nativeQueue). Starting and stopping
// block, so they never run on controlQueue.
class CaptureSession {
public:
    CaptureSession() = default;
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    bool canAddInput(const std::shared_ptr<CaptureInput>& input) const;
    void addInput(std::shared_ptr<CaptureInput> input);
    bool canAddOutput(const std::shared_ptr<CaptureOutput>& output) const;
    void addOutput(std::shared_ptr<CaptureOutput> output);

    // Starts every input; blocks until all stream or one gives up. isRunning() tells which. An input
    // whose start throws stops the others and the error goes on; the session is then not running.
    void startRunning();
    bool isRunning() const { return running_; }
    // Blocks until no input delivers anything more.
    void stopRunning();

    const std::vector<std::shared_ptr<CaptureInput>>& inputs() const { return inputs_; }
    const std::vector<std::shared_ptr<CaptureOutput>>& outputs() const { return outputs_; }

    // Stops and closes the input; it stays listed when its release is not confirmed.
    void removeInput(const std::shared_ptr<CaptureInput>& input);
    void removeOutput(const std::shared_ptr<CaptureOutput>& output);

private:
    std::vector<std::shared_ptr<CaptureInput>> inputs_;
    std::vector<std::shared_ptr<CaptureOutput>> outputs_;
    bool running_ = false;
};

}  // namespace qv
