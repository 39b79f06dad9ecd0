#pragma once

#include "device/DeviceInput.h"
#include "device/pipewire/PipeWireConnection.h"
#include "device/pipewire/PipeWireInventory.h"

#include <memory>

namespace qv {

// A stream from one PipeWire source node into the session's data output of its media. Video
// arrives in the node's active format and is converted to BGRA, with the buffers' own timestamps
// where they carry them (arrival time otherwise) and gaps in their sequence numbers reported as
// drops; audio arrives as signed 16-bit samples at the node's rate. The node's removal, or the
// daemon's, ends the stream as an unplug; a node that stops delivering is left to the session's
// stall watch.
class PipeWireInput final : public DeviceInput {
public:
    PipeWireInput(CaptureDeviceRef device, std::unique_ptr<PipeWireConnection> connection, PipeWireNode node);
};

}  // namespace qv
