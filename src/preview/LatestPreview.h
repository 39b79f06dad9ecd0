#pragma once

#include "base/Json.h"
#include "base/Limits.h"
#include "base/Queue.h"
#include "media/PixelBuffer.h"
#include "preview/PreviewEncoder.h"
#include "preview/PreviewSample.h"
#include "preview/WorkItem.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qv {

class OwnedFiles;

// Seconds on a monotonic clock, for cadence decisions only.
using CadenceClock = std::function<double()>;
// Runs the work item once, `delay` seconds from now, on the control queue.
using CadenceSchedule = std::function<void(double delay, std::shared_ptr<WorkItem> item)>;

// The default cadence schedule: the control queue's own delayed execution.
CadenceSchedule defaultCadenceSchedule();

// Turns captured frames into a latest-only stream of small JPEG files in the private directory.
// At most one frame waits; encodes start no more than `fps` times a second and never closer than
// 1/fps apart; a frame encoded for a generation that has ended is never published. One published
// frame at a time can be leased, so a slow reader keeps its exact file while newer ones appear.
//
// Everything but construction runs on the control queue, which owns all mutable state. Encoding,
// hashing, writing and deleting run on a private serial worker queue that reaches the state only
// through synchronous steps on the control queue; nothing on the control queue ever waits for
// the worker. Work that crosses queues holds the pipeline weakly.
class LatestPreview : public std::enable_shared_from_this<LatestPreview> {
public:
    using Failure = std::function<void(const std::exception& error)>;
    using Published = std::function<void()>;

    // Empty `encode`, `cadenceClock` or `cadenceSchedule` select the defaults (the production
    // encoder, mono() and defaultCadenceSchedule()). `failure` and `published` are called on the
    // control queue and must not throw. `limits` bounds the preview files and the worker's drain.
    static std::shared_ptr<LatestPreview> create(std::shared_ptr<OwnedFiles> files, PreviewEncoder encode,
                                                 CadenceClock cadenceClock, CadenceSchedule cadenceSchedule,
                                                 Failure failure, Published published,
                                                 const Limits& limits = protocolLimits);
    ~LatestPreview();
    LatestPreview(const LatestPreview&) = delete;
    LatestPreview& operator=(const LatestPreview&) = delete;

    // Starts a generation (a UUID, either letter case) at `fps` previews per second. Throws
    // "PREVIEW_BUSY" while a job runs, a generation is active or a lease is outstanding, and
    // "INVALID_ARGUMENT" for a rate outside 1...60.
    void begin(const std::string& generation, int fps);
    // Offers one frame; dropped when stopped. Never fails.
    void offer(PixelBufferRef pixel, std::int64_t frameID, double sourcePTS, double arrival);

    // {"encodedFrames", "replacedSamples", "workerInFlightReplacements", "cadenceWaitReplacements",
    //  "otherReplacements"}
    Json statistics() const;
    // The last published frame's record, if any.
    std::optional<Json> latestImage() const;

    // Leases the latest frame: its record plus "leaseId". Throws "FRAME_LEASE_BUSY" or
    // "NO_VIDEO_FRAME".
    Json acquire();
    // Ends the lease with exactly this id; throws "FRAME_LEASE_MISMATCH" otherwise.
    void release(const std::string& leaseId);
    // Ends the generation now; `completion` runs later on the control queue, once everything the
    // worker held at this call has finished. A lease and its file survive.
    void stop(std::function<void()> completion);

private:
    struct Lease {
        std::string id;
        Json image;
    };
    // What the worker needs; shared with queued jobs so the pipeline itself may go away first.
    struct Shared;

    struct Token {};

public:
    LatestPreview(Token, std::shared_ptr<OwnedFiles> files, PreviewEncoder encode, CadenceClock cadenceClock,
                  CadenceSchedule cadenceSchedule, Failure failure, Published published,
                  const Limits& limits);

private:
    void startDecision();
    void startJob();
    static void runJob(const std::shared_ptr<Shared>& shared, const std::weak_ptr<LatestPreview>& weak,
                       const PreviewSample& sample, double queuedAt);
    std::vector<std::string> publishStep(const PreviewSample& sample, const EncodedPreview& encoded,
                                         const std::string& basename, const std::string& digest,
                                         const Json& timing);
    void failureStep(const std::exception& error, bool jobStillRunning);
    void removeLater(const std::string& basename);
    void reportFailure(const std::exception& error);

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Queue> worker_;
    CadenceClock cadenceClock_;
    CadenceSchedule cadenceSchedule_;
    Failure failure_;
    Published published_;

    std::optional<std::string> generation_;
    std::optional<PreviewSample> pending_;
    bool encoding_ = false;
    std::shared_ptr<WorkItem> timer_;
    double lastStart_ = 0;
    int fps_ = 60;
    std::optional<Lease> lease_;
    std::optional<Json> latestImage_;
    std::int64_t encodedFrames_ = 0;
    std::int64_t replacedSamples_ = 0;
    std::int64_t workerInFlightReplacements_ = 0;
    std::int64_t cadenceWaitReplacements_ = 0;
    std::int64_t otherReplacements_ = 0;
};

}  // namespace qv
