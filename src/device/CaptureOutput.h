#pragma once

#include <memory>
#include <vector>

namespace qv {

// A data output of a capture session: where an input's frames or samples go.
class CaptureOutput {
public:
    enum class Kind { video, audio };

    virtual ~CaptureOutput() = default;
    virtual Kind kind() const = 0;
    // Stops delivery: anything not yet handed to the delegate is discarded. Any thread.
    virtual void clearDelegate() = 0;
};

// The output of type `Output` among a session's `outputs` (it has at most one of each), or null.
template <typename Output>
std::shared_ptr<Output> findOutput(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) {
    for (const auto& output : outputs) {
        if (auto typed = std::dynamic_pointer_cast<Output>(output)) return typed;
    }
    return nullptr;
}

}  // namespace qv
