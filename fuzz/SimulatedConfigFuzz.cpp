// The simulated players' description, as the host sets it in the environment: any text either
// parses into a configuration within its documented bounds or fails with "SIMULATION_CONFIG".

#include "base/CaptureError.h"
#include "device/simulated/SimulatedDeviceConfig.h"

#include <cstdlib>
#include <set>
#include <string_view>

namespace {

// The bounds the parser promises to hold.
void check(const qv::SimulatedDeviceConfig& config) {
    std::set<std::string> videoIds;
    for (const auto& camera : config.video) {
        if (camera.id.empty() || !videoIds.insert(camera.id).second) std::abort();
        if (camera.width < 0 || camera.height < 0 || camera.width > 16384 || camera.height > 16384)
            std::abort();
        if (static_cast<std::int64_t>(camera.width) * camera.height > 33'554'432) std::abort();
        if (!(camera.fps >= 1 && camera.fps <= 240)) std::abort();
        if (camera.resizeAfterFrames &&
            static_cast<std::int64_t>(camera.resizeTo.first) * camera.resizeTo.second > 33'554'432) {
            std::abort();
        }
    }
    std::set<std::string> audioIds;
    for (const auto& microphone : config.audio) {
        if (microphone.id.empty() || !audioIds.insert(microphone.id).second) std::abort();
        if (microphone.sampleRate < 1 || microphone.channels < 0 || microphone.channels > 64) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        check(qv::SimulatedDeviceConfig::parse(text));
    } catch (const qv::CaptureError& error) {
        if (error.code() != "SIMULATION_CONFIG") std::abort();
    }
    return 0;
}
