#include "device/CaptureSession.h"

#include <algorithm>

namespace qv {

CaptureSession::~CaptureSession() {
    stopRunning();
}

bool CaptureSession::canAddInput(const std::shared_ptr<CaptureInput>& input) const {
    if (!input) return false;
    return std::none_of(inputs_.begin(), inputs_.end(), [&](const auto& present) {
        return present == input || present->mediaType() == input->mediaType();
    });
}

void CaptureSession::addInput(std::shared_ptr<CaptureInput> input) {
    if (canAddInput(input)) inputs_.push_back(std::move(input));
}

bool CaptureSession::canAddOutput(const std::shared_ptr<CaptureOutput>& output) const {
    if (!output) return false;
    return std::none_of(outputs_.begin(), outputs_.end(), [&](const auto& present) {
        return present == output || present->kind() == output->kind();
    });
}

void CaptureSession::addOutput(std::shared_ptr<CaptureOutput> output) {
    if (canAddOutput(output)) outputs_.push_back(std::move(output));
}

void CaptureSession::startRunning() {
    if (running_ || inputs_.empty()) return;
    // The session runs whole or not at all: an input that gives up, or cannot make what it needs
    // (a thread, a timer), stops those started before it.
    std::size_t started = 0;
    const auto stopStarted = [&] {
        for (std::size_t i = 0; i < started; ++i) inputs_[i]->stop();
    };
    try {
        while (started < inputs_.size() && inputs_[started]->start(outputs_)) ++started;
    } catch (...) {
        stopStarted();
        throw;
    }
    if (started < inputs_.size()) {
        stopStarted();
        return;
    }
    running_ = true;
}

void CaptureSession::stopRunning() {
    if (!running_) return;
    for (const auto& input : inputs_) input->stop();
    running_ = false;
}

void CaptureSession::removeInput(const std::shared_ptr<CaptureInput>& input) {
    const auto found = std::find(inputs_.begin(), inputs_.end(), input);
    if (found == inputs_.end()) return;
    if (running_) input->stop();
    if (input->release()) inputs_.erase(found);
    if (inputs_.empty()) running_ = false;
}

void CaptureSession::removeOutput(const std::shared_ptr<CaptureOutput>& output) {
    const auto found = std::find(outputs_.begin(), outputs_.end(), output);
    if (found != outputs_.end()) outputs_.erase(found);
}

}  // namespace qv
