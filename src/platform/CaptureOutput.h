#pragma once

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

}  // namespace qv
