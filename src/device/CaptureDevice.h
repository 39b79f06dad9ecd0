#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qv {

class CaptureInput;

enum class MediaType { video, audio };

// One supported frame-rate range of a video format, in frames per second.
struct FrameRateRange {
    double minFrameRate = 0;
    double maxFrameRate = 0;
    bool operator==(const FrameRateRange&) const = default;
};

// One video format a device offers.
struct VideoFormat {
    std::int32_t width = 0;
    std::int32_t height = 0;
    // Four-character code with the first character in the high byte ('BGRA' = 0x42475241).
    std::uint32_t mediaSubType = 0;
    // In the device's own order.
    std::vector<FrameRateRange> frameRateRanges;
    bool operator==(const VideoFormat&) const = default;
};

// A camera or microphone as the device layer lists it. The values describe the device as it was
// when listed; they never change afterwards, so a device may be read from any thread.
class CaptureDevice : public std::enable_shared_from_this<CaptureDevice> {
public:
    virtual ~CaptureDevice() = default;

    virtual MediaType mediaType() const = 0;
    // Stable while the device stays attached, unique among attached devices.
    virtual const std::string& uniqueId() const = 0;
    // The name the device reports; may be empty.
    virtual const std::string& localizedName() const = 0;
    // The video formats in the device's order; empty for a microphone.
    virtual const std::vector<VideoFormat>& formats() const = 0;
    // The format the device runs; none for a microphone.
    virtual std::optional<VideoFormat> activeFormat() const = 0;
    // The running frame durations in seconds; may be 0 or not finite when the device does not say.
    virtual double activeMinFrameDuration() const = 0;
    virtual double activeMaxFrameDuration() const = 0;

    // Opens the device for a session. Throws PlatformError when it cannot be opened.
    virtual std::shared_ptr<CaptureInput> createInput() = 0;
};

using CaptureDeviceRef = std::shared_ptr<CaptureDevice>;

}  // namespace qv
