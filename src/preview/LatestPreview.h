#pragma once
// PLACEHOLDER until the preview lands; never merged.
#include <functional>
#include <memory>
#include <optional>
#include "platform/Runtime.h"
#include "protocol/Json.h"
namespace qv {
class OwnedFiles;
class LatestPreview {
public:
    LatestPreview(std::shared_ptr<OwnedFiles>, std::function<void(const Json&)>, std::function<void()>) {}
    std::optional<Json> latestImage;
    Json statistics() const { return Json{{"encodedFrames",0},{"replacedSamples",0},{"workerInFlightReplacements",0},{"cadenceWaitReplacements",0},{"otherReplacements",0}}; }
    void stop(std::function<void()> completion) { latestImage.reset(); controlQueue().async(std::move(completion)); }
};
}  // namespace qv
