#include "preview/LatestPreview.h"

#include "base/Limits.h"

#include "base/CaptureError.h"
#include "base/Clock.h"
#include "base/Digest.h"
#include "base/Runtime.h"
#include "base/Semaphore.h"
#include "base/Uuid.h"
#include "files/OwnedFiles.h"

#include <algorithm>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

namespace qv {

namespace {

constexpr const char* workerLabel = "quorvelle.native.preview";
// How long a pipeline that goes away gives its worker to finish what it already holds.

std::string basenameOf(const Json& image) {
    return image.at("basename").get<std::string>();
}

// The error being handled, as a value another thread can take over: a CaptureError as it is,
// anything else as the generic error it is reported as. (The exception object itself is not
// handed across queues; its last owner would free it on whichever thread let go last.)
CaptureError currentCaptureError() {
    try {
        throw;
    } catch (const CaptureError& error) {
        return error;
    } catch (...) {
        return CaptureError("NATIVE_ERROR", defaultErrorMessage);
    }
}

}  // namespace

struct LatestPreview::Shared {
    std::shared_ptr<OwnedFiles> files;
    PreviewEncoder encode;
    Limits limits;
};

CadenceSchedule defaultCadenceSchedule() {
    return [](double delay, std::shared_ptr<WorkItem> item) {
        controlQueue().after(delay, [item = std::move(item)] { item->perform(); });
    };
}

std::shared_ptr<LatestPreview> LatestPreview::create(std::shared_ptr<OwnedFiles> files, PreviewEncoder encode,
                                                     CadenceClock cadenceClock,
                                                     CadenceSchedule cadenceSchedule, Failure failure,
                                                     Published published, const Limits& limits) {
    return std::make_shared<LatestPreview>(Token{}, std::move(files), std::move(encode),
                                           std::move(cadenceClock), std::move(cadenceSchedule),
                                           std::move(failure), std::move(published), limits);
}

LatestPreview::LatestPreview(Token, std::shared_ptr<OwnedFiles> files, PreviewEncoder encode,
                             CadenceClock cadenceClock, CadenceSchedule cadenceSchedule, Failure failure,
                             Published published, const Limits& limits)
    : shared_(std::make_shared<Shared>(
          Shared{std::move(files), encode ? std::move(encode) : makeDefaultPreviewEncoder(), limits})),
      worker_(std::make_unique<Queue>(workerLabel)),
      cadenceClock_(cadenceClock ? std::move(cadenceClock) : CadenceClock(mono)),
      cadenceSchedule_(cadenceSchedule ? std::move(cadenceSchedule) : defaultCadenceSchedule()),
      failure_(std::move(failure)),
      published_(std::move(published)) {}

LatestPreview::~LatestPreview() {
    if (timer_) timer_->cancel();
    // Jobs already handed to the worker still finish (an unpublished file is deleted by its own
    // job), then the worker thread is joined. Neither may happen here: this may run on the control
    // queue, which a job can be waiting for.
    std::shared_ptr<Queue> worker(std::move(worker_));
    try {
        dispatchGlobal([worker, drainSeconds = shared_->limits.previewDrainSeconds] {
            auto drained = std::make_shared<Semaphore>();
            worker->async([drained] { drained->signal(); });
            drained->wait(drainSeconds);
        });
    } catch (const std::system_error&) {
        // Out of threads: the worker is kept, idle, rather than joined where it could deadlock.
        static std::mutex lock;
        static auto* kept = new std::vector<std::shared_ptr<Queue>>();
        std::lock_guard guard(lock);
        kept->push_back(std::move(worker));
    }
}

void LatestPreview::begin(const std::string& generation, int fps) {
    assertOnQueue(controlQueue());
    if (encoding_ || generation_ || lease_) {
        throw CaptureError("PREVIEW_BUSY", "Previous preview work or frame read has not settled");
    }
    if (fps < 1 || fps > 60)
        throw CaptureError("INVALID_ARGUMENT", "Preview cadence must be from 1 through 60");
    generation_ = lowerCased(generation);
    fps_ = fps;
    lastStart_ = 0;
    encodedFrames_ = 0;
    replacedSamples_ = 0;
    workerInFlightReplacements_ = 0;
    cadenceWaitReplacements_ = 0;
    otherReplacements_ = 0;
}

void LatestPreview::offer(PixelBufferRef pixel, std::int64_t frameID, double sourcePTS, double arrival) {
    assertOnQueue(controlQueue());
    if (!generation_) return;
    if (pending_) {
        ++replacedSamples_;
        if (encoding_) {
            ++workerInFlightReplacements_;
        } else if (timer_) {
            ++cadenceWaitReplacements_;
        } else {
            ++otherReplacements_;
        }
    }
    pending_ = PreviewSample{std::move(pixel), frameID, sourcePTS, arrival, *generation_};
    startDecision();
}

Json LatestPreview::statistics() const {
    assertOnQueue(controlQueue());
    return Json{{"encodedFrames", encodedFrames_},
                {"replacedSamples", replacedSamples_},
                {"workerInFlightReplacements", workerInFlightReplacements_},
                {"cadenceWaitReplacements", cadenceWaitReplacements_},
                {"otherReplacements", otherReplacements_}};
}

std::optional<Json> LatestPreview::latestImage() const {
    assertOnQueue(controlQueue());
    return latestImage_;
}

void LatestPreview::startDecision() {
    assertOnQueue(controlQueue());
    if (encoding_ || !pending_) return;
    if (!generation_ || pending_->generation != *generation_) return;
    const double wait = 1.0 / fps_ - (cadenceClock_() - lastStart_);
    if (wait > 0) {
        // A frame that replaces a waiting one keeps the deadline scheduled first.
        if (timer_) return;
        std::weak_ptr<LatestPreview> weak = weak_from_this();
        timer_ = std::make_shared<WorkItem>([weak] {
            auto self = weak.lock();
            if (!self) return;
            assertOnQueue(controlQueue());
            self->timer_.reset();
            self->startDecision();
        });
        cadenceSchedule_(wait, timer_);
        return;
    }
    startJob();
}

void LatestPreview::startJob() {
    if (timer_) {
        timer_->cancel();
        timer_.reset();
    }
    PreviewSample sample = std::move(*pending_);
    pending_.reset();
    encoding_ = true;
    // The actual start, read now: a late timer pushes every later start back rather than letting
    // the next one come sooner than a full interval.
    lastStart_ = cadenceClock_();
    const double queuedAt = mono();
    worker_->async([shared = shared_, weak = weak_from_this(), sample = std::move(sample), queuedAt] {
        runJob(shared, weak, sample, queuedAt);
    });
}

void LatestPreview::runJob(const std::shared_ptr<Shared>& shared, const std::weak_ptr<LatestPreview>& weak,
                           const PreviewSample& sample, double queuedAt) {
    const double encodeStarted = mono();
    EncodedPreview encoded;
    std::string basename;
    std::string digest;
    double encodeFinished = 0, hashFinished = 0, fileWritten = 0;
    bool created = false;
    try {
        encoded = shared->encode(sample);
        // Checked before anything is hashed or written: an oversized frame never reaches the disk.
        if (encoded.bytes.empty() ||
            static_cast<std::int64_t>(encoded.bytes.size()) > shared->limits.maxPreviewBytes ||
            encoded.width < 1 || encoded.width > maxPreviewWidth || encoded.height < 1 ||
            encoded.height > maxPreviewHeight) {
            throw CaptureError("PREVIEW_BOUND", "Native JPEG exceeds its bound");
        }
        encodeFinished = mono();
        digest = sha256Hex(encoded.bytes);
        hashFinished = mono();
        basename = "preview-" + randomUuid() + ".jpg";
        created = true;
        shared->files->write(encoded.bytes, basename, shared->limits.maxPreviewBytes);
        fileWritten = mono();
    } catch (...) {
        const CaptureError error = currentCaptureError();
        // A write that failed part way leaves a registered file behind; it is never published, so
        // nothing else would ever delete it. Failing to delete it adds nothing to the first error.
        if (created) {
            try {
                shared->files->removeOwned(basename);
            } catch (...) {
            }
        }
        controlQueue().sync([&] {
            if (auto self = weak.lock()) self->failureStep(error, true);
        });
        return;
    }

    const Json timing{{"clock", "system-uptime"},
                      {"callbackReceivedAtMs", sample.arrival * 1000.0},
                      {"previewQueuedAtMs", queuedAt * 1000.0},
                      {"encodeStartedAtMs", encodeStarted * 1000.0},
                      {"encodeFinishedAtMs", encodeFinished * 1000.0},
                      {"hashFinishedAtMs", hashFinished * 1000.0},
                      {"fileWrittenAtMs", fileWritten * 1000.0}};
    std::vector<std::string> obsolete;
    controlQueue().sync([&] {
        auto self = weak.lock();
        obsolete = self ? self->publishStep(sample, encoded, basename, digest, timing)
                        : std::vector<std::string>{basename};
    });
    for (const auto& name : obsolete) {
        try {
            shared->files->removeOwned(name);
        } catch (...) {
            const CaptureError error = currentCaptureError();
            controlQueue().sync([&] {
                if (auto self = weak.lock()) self->failureStep(error, false);
            });
            return;
        }
    }
}

std::vector<std::string> LatestPreview::publishStep(const PreviewSample& sample,
                                                    const EncodedPreview& encoded,
                                                    const std::string& basename, const std::string& digest,
                                                    const Json& timing) {
    assertOnQueue(controlQueue());
    encoding_ = false;
    if (!generation_ || *generation_ != sample.generation) return {basename};
    ++encodedFrames_;
    std::optional<std::string> previous;
    if (latestImage_) previous = basenameOf(*latestImage_);
    Json record{{"frameId", sample.frameID},
                {"basename", basename},
                {"bytes", static_cast<std::int64_t>(encoded.bytes.size())},
                {"sha256", digest},
                {"width", encoded.width},
                {"height", encoded.height},
                {"sourcePTS", sample.sourcePTS},
                {"format", "jpeg"},
                {"connectionId", sample.generation},
                {"previewSequence", encodedFrames_},
                {"timing", timing}};
    record["timing"]["publishedAtMs"] = mono() * 1000.0;
    latestImage_ = std::move(record);
    if (published_) published_();
    startDecision();
    if (!previous) return {};
    if (lease_ && basenameOf(lease_->image) == *previous) return {};
    return {*previous};
}

void LatestPreview::failureStep(const std::exception& error, bool jobStillRunning) {
    assertOnQueue(controlQueue());
    // Only a job that has not yet published owns `encoding` and the waiting frame; by the time one
    // of its deletions fails, the next job may already be running.
    if (jobStillRunning) {
        encoding_ = false;
        pending_.reset();
    }
    reportFailure(error);
}

void LatestPreview::reportFailure(const std::exception& error) {
    assertOnQueue(controlQueue());
    if (failure_) failure_(error);
}

Json LatestPreview::acquire() {
    assertOnQueue(controlQueue());
    if (lease_) {
        throw CaptureError("FRAME_LEASE_BUSY",
                           "Finish the original native frame read before requesting another");
    }
    if (!latestImage_) throw CaptureError("NO_VIDEO_FRAME", "No fresh native preview frame is available");
    lease_ = Lease{randomUuid(), *latestImage_};
    Json leased = *latestImage_;
    leased["leaseId"] = lease_->id;
    return leased;
}

void LatestPreview::release(const std::string& leaseId) {
    assertOnQueue(controlQueue());
    if (!lease_ || lease_->id != leaseId) {
        throw CaptureError("FRAME_LEASE_MISMATCH", "Native frame release does not match its original read");
    }
    const std::string basename = basenameOf(lease_->image);
    lease_.reset();
    if (latestImage_ && basenameOf(*latestImage_) == basename) return;
    removeLater(basename);
}

void LatestPreview::stop(std::function<void()> completion) {
    assertOnQueue(controlQueue());
    generation_.reset();
    pending_.reset();
    if (timer_) {
        timer_->cancel();
        timer_.reset();
    }
    if (latestImage_) {
        const std::string basename = basenameOf(*latestImage_);
        if (!lease_ || basenameOf(lease_->image) != basename) removeLater(basename);
    }
    latestImage_.reset();
    // Behind everything the worker already holds, so the completion marks its drain.
    worker_->async([completion = std::move(completion)] {
        if (completion) controlQueue().async(completion);
    });
}

void LatestPreview::removeLater(const std::string& basename) {
    assertOnQueue(controlQueue());
    worker_->async([shared = shared_, weak = weak_from_this(), basename] {
        try {
            shared->files->removeOwned(basename);
        } catch (...) {
            controlQueue().async([weak, error = currentCaptureError()] {
                if (auto self = weak.lock()) self->reportFailure(error);
            });
        }
    });
}

}  // namespace qv
