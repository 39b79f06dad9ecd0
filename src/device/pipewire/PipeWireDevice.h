#pragma once

#include "device/CaptureDevice.h"
#include "device/pipewire/PipeWireConnection.h"
#include "device/pipewire/PipeWireInventory.h"

#include <functional>
#include <memory>

namespace qv {

// A PipeWire source node as listed: a camera or a microphone. Its description is read once, at
// enumeration; a capture opens a connection of its own through `connect`.
class PipeWireDevice final : public CaptureDevice {
public:
    using Connect = std::function<std::unique_ptr<PipeWireConnection>()>;

    PipeWireDevice(PipeWireNode node, Connect connect);

    MediaType mediaType() const override { return node_.media; }
    const std::string& uniqueId() const override { return node_.uniqueId; }
    const std::string& localizedName() const override { return node_.name; }
    const std::vector<VideoFormat>& formats() const override { return formats_; }
    std::optional<VideoFormat> activeFormat() const override { return active_; }
    double activeMinFrameDuration() const override { return frameDuration_; }
    double activeMaxFrameDuration() const override { return frameDuration_; }
    // Connects a stream to the node (a PipeWireInput). Throws PlatformError when PipeWire cannot
    // be reached.
    std::shared_ptr<CaptureInput> createInput() override;

private:
    PipeWireNode node_;
    Connect connect_;
    std::vector<VideoFormat> formats_;
    std::optional<VideoFormat> active_;
    double frameDuration_ = 0;
};

}  // namespace qv
