#pragma once

#include "platform/DeviceIo.h"
#include "platform/PixelBuffer.h"
#include "platform/Queue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace qv {

// Streams one V4L2 capture node in its active format: mmap buffers, a capture thread that waits
// with poll() timeouts, conversion to BGRA on that thread, and delivery on a queue with at most one
// frame in flight. Frames that arrive while one is still in flight are dropped, never queued.
class V4l2Stream {
public:
    struct Delivery {
        Queue* queue = nullptr;
        // A frame and its monotonic presentation time in seconds.
        std::function<void(PixelBufferRef, double)> frame;
        // Frames lost: late, skipped by the driver (sequence gaps), damaged or undecodable.
        std::function<void(std::int64_t)> dropped;
    };

    // Opens the node and starts streaming; blocks for as long as the driver takes. Throws a
    // PlatformError when the node cannot be opened or its format cannot be streamed.
    V4l2Stream(DeviceIo& io, const std::string& node, Delivery delivery);
    // Stops, waiting up to two seconds for the device to be released.
    ~V4l2Stream();
    V4l2Stream(const V4l2Stream&) = delete;
    V4l2Stream& operator=(const V4l2Stream&) = delete;

    // No callback runs after this returns on the delivery queue; frames already posted are discarded.
    void stopDelivery();
    // Stops the capture and releases buffers and node. True when everything was released within
    // `timeoutSeconds`; otherwise the capture thread releases them when it can.
    bool stop(double timeoutSeconds);

    // True once the device disappeared (ENODEV): nothing more is delivered.
    bool unplugged() const;
    // True while the capture thread runs (not stopped, not unplugged, no fatal error).
    bool running() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
    std::thread thread_;
    bool stopped_ = false;
    bool released_ = false;
};

}  // namespace qv
