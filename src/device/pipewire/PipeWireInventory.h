#pragma once

#include "device/CaptureDevice.h"
#include "device/linux/V4l2Inventory.h"
#include "device/pipewire/PipeWireConnection.h"
#include "device/pipewire/PipeWireFormat.h"

#include <optional>
#include <string>
#include <vector>

namespace qv {

// A PipeWire source node as the helper sees a camera or microphone.
struct PipeWireNode {
    MediaType media = MediaType::video;
    // "pipewire:" + node.name, which the device monitor builds from the port the device sits on,
    // so it outlives the node's own id; a second node of the same name gets its serial appended.
    std::string uniqueId;
    // The USB product string of the node's device (device.product.name), else node.description.
    std::string name;
    // object.serial, which a stream names as its target.
    std::string serial;
    // Video: what EnumFormat offers in the pixel formats the converter knows, and the format the
    // node runs (its Format param) or else the first of those.
    std::vector<V4l2Format> formats;
    std::optional<V4l2Format> active;
    // Audio: the node's preferred rate and channel count, 0 when it does not say.
    PipeWireAudioFormat audio;
};

// The Video/Source and Audio/Source nodes of the graph in registry order, each with its formats;
// whatever has not answered within `timeoutSeconds` is left out.
std::vector<PipeWireNode> listPipeWireNodes(PipeWireConnection& connection, double timeoutSeconds);

}  // namespace qv
