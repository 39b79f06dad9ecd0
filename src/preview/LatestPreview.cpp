// PLACEHOLDER until the preview pipeline lands; never merged.
#include "preview/LatestPreview.h"

#include "platform/Runtime.h"
#include "protocol/CaptureError.h"

namespace qv {

struct LatestPreview::Shared {};

std::shared_ptr<LatestPreview> LatestPreview::create(std::shared_ptr<OwnedFiles> files, PreviewEncoder encode,
                                                     CadenceClock cadenceClock, CadenceSchedule cadenceSchedule,
                                                     Failure failure, Published published) {
    return std::make_shared<LatestPreview>(Token{}, files, encode, cadenceClock, cadenceSchedule, failure,
                                           published);
}
LatestPreview::LatestPreview(Token, std::shared_ptr<OwnedFiles>, PreviewEncoder, CadenceClock, CadenceSchedule,
                             Failure failure, Published published)
    : failure_(std::move(failure)), published_(std::move(published)) {}
LatestPreview::~LatestPreview() = default;
Json LatestPreview::statistics() const {
    return Json{{"encodedFrames", 0}, {"replacedSamples", 0}, {"workerInFlightReplacements", 0},
                {"cadenceWaitReplacements", 0}, {"otherReplacements", 0}};
}
std::optional<Json> LatestPreview::latestImage() const { return latestImage_; }
Json LatestPreview::acquire() { throw CaptureError("NO_VIDEO_FRAME", "No fresh native preview frame is available"); }
void LatestPreview::stop(std::function<void()> completion) { controlQueue().async(std::move(completion)); }

}  // namespace qv
