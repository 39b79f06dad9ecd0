#pragma once

#include "base/Json.h"
#include "device/CaptureDevice.h"

namespace qv {

// What a running video device reports about itself: {"width", "height", "mediaSubType",
// "minimumFrameDurationSeconds", "maximumFrameDurationSeconds", "supportedFrameRateRanges" (at most
// 8), "observedAtUptimeMs"}. Durations that are not finite and positive are null; a device
// without an active format reports 0 × 0 and no ranges. The helper never changes the format.
Json videoFormatRecord(const CaptureDevice& device, double observedMono);

}  // namespace qv
