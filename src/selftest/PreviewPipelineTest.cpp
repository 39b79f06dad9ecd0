#include "selftest/PreviewPipelineTest.h"
#include "base/Limits.h"

#include "base/CaptureError.h"
#include "base/Clock.h"
#include "base/Runtime.h"
#include "base/Semaphore.h"
#include "base/Uuid.h"
#include "files/OwnedFiles.h"
#include "preview/LatestPreview.h"
#include "selftest/PreviewFixtures.h"

#include <atomic>
#include <cmath>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace qv {

namespace {

constexpr const char* pipelineTestCode = "PREVIEW_TEST";
constexpr double waitSeconds = 3.0;
constexpr double earlyStopProbeSeconds = 0.03;

// A complete 2 x 2 baseline JFIF: all-ones quantisation, empty Huffman tables, one byte of scan.
std::string jfifFixture() {
    std::string hex = "ffd8ffe000104a46494600010100000100010000ffdb004300";
    for (int i = 0; i < 64; ++i) hex += "01";
    hex += "ffc00011080002000203011100021100031100ffc400140001";
    for (int i = 0; i < 15; ++i) hex += "00";
    hex += "00ffc400141001";
    for (int i = 0; i < 15; ++i) hex += "00";
    hex += "00ffda000c03010002000300003f0003ffd9";
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// Everything the pipelines' callbacks and encoders touch; shared so it outlives a failed test.
struct Fixture {
    std::string jfif = jfifFixture();
    Semaphore started;
    Semaphore releaseSlow;
    Semaphore published;
    Semaphore stopped;
    Semaphore failed;
    std::atomic<int> slowCalls{0};
    // Touched only on the control queue.
    std::vector<std::string> failures;

    // The injected cadence clock and schedule.
    std::atomic<double> clock{100.0};
    std::mutex scheduledMutex;
    std::deque<std::pair<double, std::shared_ptr<WorkItem>>> scheduled;
};

class PipelineTest {
public:
    Json run();

private:
    void check(bool condition, const std::string& message) {
        if (!condition) throw CaptureError(pipelineTestCode, message);
        ++checks_;
    }
    void waitFor(Semaphore& semaphore, const char* message) { check(semaphore.wait(waitSeconds), message); }

    std::shared_ptr<LatestPreview> pipeline(PreviewEncoder encode, CadenceClock clock = nullptr,
                                            CadenceSchedule schedule = nullptr);
    PreviewEncoder slowEncoder();
    PreviewEncoder fastEncoder();
    std::function<void()> signalStopped() {
        return [f = fixture_] { f->stopped.signal(); };
    }
    std::size_t scheduledCount() {
        std::lock_guard lock(fixture_->scheduledMutex);
        return fixture_->scheduled.size();
    }
    std::pair<double, std::shared_ptr<WorkItem>> frontScheduled() {
        std::lock_guard lock(fixture_->scheduledMutex);
        return fixture_->scheduled.front();
    }
    std::shared_ptr<WorkItem> takeScheduled() {
        std::lock_guard lock(fixture_->scheduledMutex);
        auto item = fixture_->scheduled.front().second;
        fixture_->scheduled.pop_front();
        return item;
    }
    // True when a fresh generation at `fps` is refused with `code`.
    static bool beginRefused(LatestPreview& preview, int fps, const char* code) {
        return onControl([&] {
            try {
                preview.begin(randomUuid(), fps);
            } catch (const CaptureError& error) {
                return error.code() == code;
            }
            return false;
        });
    }
    // A frame read as the engine does it: lease, then release at once. On the control queue.
    static Json readAndRelease(LatestPreview& preview) {
        Json leased = preview.acquire();
        preview.release(leased["leaseId"].get<std::string>());
        return leased;
    }
    static void offer(LatestPreview& preview, const PixelBufferRef& frame, std::int64_t id, double pts) {
        preview.offer(frame, id, pts, mono());
    }

    void phaseSlowEncoder(const std::shared_ptr<LatestPreview>& preview);
    Json phaseReconnect(const std::shared_ptr<LatestPreview>& preview);
    void phaseLeases(const std::shared_ptr<LatestPreview>& preview, const Json& lease);
    void phaseCadence(int fps);
    void phaseBound();

    std::shared_ptr<OwnedFiles> files_ = std::make_shared<OwnedFiles>();
    std::shared_ptr<Fixture> fixture_ = std::make_shared<Fixture>();
    PixelBufferRef frame_ = syntheticPreviewFrame(pipelineTestCode);
    std::shared_ptr<LatestPreview> boundPipeline_;
    Json protocolFixture_;
    int checks_ = 0;
};

std::shared_ptr<LatestPreview> PipelineTest::pipeline(PreviewEncoder encode, CadenceClock clock,
                                                      CadenceSchedule schedule) {
    auto f = fixture_;
    return LatestPreview::create(
        files_, std::move(encode), std::move(clock), std::move(schedule),
        [f](const std::exception& error) {
            f->failures.push_back(errorJSON(error).value("message", std::string("Native preview failed")));
        },
        [f] { f->published.signal(); });
}

PreviewEncoder PipelineTest::slowEncoder() {
    return [f = fixture_](const PreviewSample&) {
        if (++f->slowCalls == 1) {
            f->started.signal();
            if (!f->releaseSlow.wait(waitSeconds))
                throw CaptureError(pipelineTestCode, "Slow encoder was not released");
        }
        return EncodedPreview{f->jfif, 2, 2};
    };
}

PreviewEncoder PipelineTest::fastEncoder() {
    return [f = fixture_](const PreviewSample&) { return EncodedPreview{f->jfif, 2, 2}; };
}

// Latest-only replacement while the encoder is busy, and a stop that waits for it.
void PipelineTest::phaseSlowEncoder(const std::shared_ptr<LatestPreview>& preview) {
    onControl([&] {
        preview->begin(randomUuid(), 60);
        offer(*preview, frame_, 1, 1.0);
    });
    waitFor(fixture_->started, "Encoder did not start");
    const Json stats = onControl([&] {
        offer(*preview, frame_, 2, 2.0);
        offer(*preview, frame_, 3, 3.0);
        offer(*preview, frame_, 4, 4.0);
        return preview->statistics();
    });
    check(stats["replacedSamples"] == 2 && stats["encodedFrames"] == 0 &&
              stats["workerInFlightReplacements"] == 2 && stats["cadenceWaitReplacements"] == 0 &&
              stats["otherReplacements"] == 0,
          "In-flight replacement was not classified correctly");
    onControl([&] { preview->stop(signalStopped()); });
    check(!fixture_->stopped.wait(earlyStopProbeSeconds), "Stop reported closure before encoder drain");
    fixture_->releaseSlow.signal();
    waitFor(fixture_->stopped, "Stop did not drain the original encoder");
    const auto [latest, failures] =
        onControl([&] { return std::make_pair(preview->latestImage(), fixture_->failures); });
    check(!latest, "Stopped generation published a late image");
    std::string joined;
    for (const auto& message : failures) joined += (joined.empty() ? "" : "; ") + message;
    check(failures.empty(), "Preview producer failed: " + joined);
}

// A new generation publishes; the lease captures one frame's identity and timings. Returns the
// lease and fills the protocol fixture.
Json PipelineTest::phaseReconnect(const std::shared_ptr<LatestPreview>& preview) {
    const std::string generation = randomUuid();
    onControl([&] {
        preview->begin(generation, 60);
        offer(*preview, frame_, 100, 10.0);
    });
    waitFor(fixture_->published, "Reconnect did not publish");
    const auto [lease, stats] =
        onControl([&] { return std::make_pair(preview->acquire(), preview->statistics()); });
    check(lease.contains("leaseId") && lease.contains("basename") && lease["frameId"] == 100 &&
              lease["sourcePTS"] == 10.0 && lease["connectionId"] == generation,
          "Frame identity was not captured atomically");
    const Json& timing = lease["timing"];
    double previous = -1;
    bool ordered = true;
    for (const char* key : {"callbackReceivedAtMs", "previewQueuedAtMs", "encodeStartedAtMs",
                            "encodeFinishedAtMs", "hashFinishedAtMs", "fileWrittenAtMs", "publishedAtMs"}) {
        const double value = timing.at(key).get<double>();
        ordered = ordered && value >= previous;
        previous = value;
    }
    check(ordered, "Preview timestamps are out of order");

    const std::string sessionId = randomUuid();
    Json liveFrame = lease;
    liveFrame["stateSequence"] = 100;
    liveFrame["sessionId"] = sessionId;
    Json latestFrame = lease;
    latestFrame.erase("leaseId");
    Json previewStats = stats;
    previewStats["nativeDroppedVideoSamples"] = 0;
    protocolFixture_ = Json{{"synthetic", true},
                            {"liveFrame", liveFrame},
                            {"status",
                             {{"sessionId", sessionId},
                              {"stateSequence", 100},
                              {"connection", "connected"},
                              {"selection", nullptr},
                              {"permissions", {{"video", "authorized"}, {"audio", "not_determined"}}},
                              {"source", nullptr},
                              {"recording", nullptr},
                              {"latestFrame", latestFrame},
                              {"previewStats", previewStats},
                              {"lastError", nullptr}}}};
    return lease;
}

// The lease keeps its exact file through rotation and stop, and holds off the next generation.
void PipelineTest::phaseLeases(const std::shared_ptr<LatestPreview>& preview, const Json& lease) {
    const bool ownershipEnforced = onControl([&] {
        bool secondAcquireFailed = false;
        bool strangerReleaseFailed = false;
        try {
            preview->acquire();
        } catch (const CaptureError& error) {
            secondAcquireFailed = error.code() == "FRAME_LEASE_BUSY";
        }
        try {
            preview->release(randomUuid());
        } catch (const CaptureError& error) {
            strangerReleaseFailed = error.code() == "FRAME_LEASE_MISMATCH";
        }
        return secondAcquireFailed && strangerReleaseFailed;
    });
    check(ownershipEnforced, "Lease ownership was not enforced");

    const std::string leased = lease["basename"].get<std::string>();
    for (std::int64_t id = 101; id <= 104; ++id) {
        onControl([&] { offer(*preview, frame_, id, static_cast<double>(id) / 10); });
        waitFor(fixture_->published, "New preview did not publish");
        bool exact = false;
        try {
            const auto metadata = files_->metadata(leased);
            exact = metadata.bytes == lease["bytes"] && metadata.sha256 == lease["sha256"];
        } catch (const CaptureError&) {
        }
        check(exact, "Slow consumer lost its exact leased bytes");
        check(countDirectoryEntries(*files_) <= 3, "Preview files grew beyond latest, leased and in-flight");
    }
    onControl([&] {
        preview->release(lease["leaseId"].get<std::string>());
        preview->stop(signalStopped());
    });
    waitFor(fixture_->stopped, "Rotation cleanup did not drain");
    check(countDirectoryEntries(*files_) == 0, "Released rotation files were retained");

    onControl([&] {
        preview->begin(randomUuid(), 60);
        offer(*preview, frame_, 1, 20.0);
    });
    waitFor(fixture_->published, "Final generation did not publish");
    const Json second = onControl([&] { return preview->acquire(); });
    onControl([&] { preview->stop(signalStopped()); });
    waitFor(fixture_->stopped, "Leased Stop did not drain");
    check(ownedFileExists(*files_, second["basename"].get<std::string>()),
          "Stop unlinked an in-flight consumer's frame");
    check(beginRefused(*preview, 60, "PREVIEW_BUSY"), "Reconnect discarded an outstanding lease");
    onControl([&] {
        preview->release(second["leaseId"].get<std::string>());
        preview->stop(signalStopped());
    });
    waitFor(fixture_->stopped, "Final lease cleanup did not drain");
}

// The cadence on an injected clock: one timer per wait, replacements keep the first deadline,
// and a late wake pushes the next start a full interval past the actual start.
void PipelineTest::phaseCadence(int fps) {
    const double interval = 1.0 / fps;
    auto f = fixture_;
    f->clock = 100.0;
    {
        std::lock_guard lock(f->scheduledMutex);
        f->scheduled.clear();
    }
    auto preview = pipeline(
        fastEncoder(), [f] { return f->clock.load(); },
        [f](double delay, std::shared_ptr<WorkItem> item) {
            std::lock_guard lock(f->scheduledMutex);
            f->scheduled.emplace_back(delay, std::move(item));
        });
    const auto near = [](double a, double b) { return std::fabs(a - b) <= 1e-6; };
    const std::string generation = randomUuid();

    onControl([&] {
        preview->begin(generation, fps);
        offer(*preview, frame_, 1, 1.0);
    });
    waitFor(f->published, "Initial cadence frame did not publish");

    f->clock = 100 + 0.5 * interval;
    onControl([&] { offer(*preview, frame_, 2, 2.0); });
    f->clock = 100 + 0.75 * interval;
    const Json stats = onControl([&] {
        offer(*preview, frame_, 3, 3.0);
        return preview->statistics();
    });
    check(scheduledCount() == 1 && near(frontScheduled().first, 0.5 * interval),
          "Cadence did not schedule the original deadline");
    check(stats["replacedSamples"] == 1 && stats["cadenceWaitReplacements"] == 1 &&
              stats["workerInFlightReplacements"] == 0 && stats["otherReplacements"] == 0,
          "Cadence-wait replacement was not classified correctly");
    f->clock = 100 + 1.25 * interval;
    auto late = takeScheduled();
    onControl([&] { late->perform(); });
    waitFor(f->published, "Delayed cadence frame did not publish");

    const Json third = onControl([&] { return readAndRelease(*preview); });
    check(third["frameId"] == 3 && third["sourcePTS"] == 3.0 && third["connectionId"] == generation,
          "Cadence did not publish the exact latest pending frame");
    f->clock = 100 + 2 * interval;
    onControl([&] { offer(*preview, frame_, 4, 4.0); });
    check(scheduledCount() == 1 && near(frontScheduled().first, 0.25 * interval),
          "A late wake did not retain minimum start spacing");
    const double phaseAligned = (100 + 2 * interval) - (100 + 1.25 * interval);
    check(phaseAligned < interval && near(phaseAligned, 0.75 * interval),
          "Phase-aligned candidate did not expose its short interval");
    f->clock = 100 + 2.25 * interval + 1e-6;
    auto next = takeScheduled();
    onControl([&] { next->perform(); });
    waitFor(f->published, "Frame after delayed cadence did not publish");

    const Json fourth = onControl([&] { return readAndRelease(*preview); });
    check(fourth["frameId"] == 4, "Cadence published the wrong subsequent frame");
    f->clock = 100 + 2.5 * interval;
    onControl([&] { offer(*preview, frame_, 5, 5.0); });
    check(scheduledCount() == 1, "Final pending cadence timer was not scheduled");
    const bool invalidated = onControl([&] {
        preview->stop(signalStopped());
        return !preview->latestImage().has_value();
    });
    check(invalidated && frontScheduled().second->isCancelled(),
          "Stop did not cancel the pending timer and invalidate its generation");
    waitFor(f->stopped, "Cadence Stop did not drain");

    const Json reset = onControl([&] {
        preview->begin(randomUuid(), fps);
        return preview->statistics();
    });
    check(reset["replacedSamples"] == 0 && reset["workerInFlightReplacements"] == 0 &&
              reset["cadenceWaitReplacements"] == 0 && reset["otherReplacements"] == 0,
          "Reconnect did not reset replacement counters");
    onControl([&] { offer(*preview, frame_, 99, 99.0); });
    waitFor(f->published, "Cadence reconnect did not publish");
    const Json last = onControl([&] {
        Json leased = readAndRelease(*preview);
        preview->stop(signalStopped());
        return leased;
    });
    check(last["frameId"] == 99, "Old generation published after cadence reconnect");
    waitFor(f->stopped, "Cadence reconnect did not drain");
    check(countDirectoryEntries(*files_, "preview-") == 0, "Cadence fixture retained preview files");
}

// An encoder that produces one byte too many never leaves a file behind.
void PipelineTest::phaseBound() {
    auto f = fixture_;
    boundPipeline_ = LatestPreview::create(
        files_,
        [](const PreviewSample&) {
            return EncodedPreview{
                std::string(static_cast<std::size_t>(protocolLimits.maxPreviewBytes) + 1, '\0'), 160, 144};
        },
        nullptr, nullptr, [f](const std::exception&) { f->failed.signal(); }, [f] { f->published.signal(); });
    onControl([&] {
        boundPipeline_->begin(randomUuid(), 60);
        offer(*boundPipeline_, frame_, 1, 1.0);
    });
    waitFor(f->failed, "Oversized JPEG did not fail");
    onControl([&] { boundPipeline_->stop(signalStopped()); });
    waitFor(f->stopped, "Oversized encoder did not drain");
    check(countDirectoryEntries(*files_, "preview-") == 0, "Oversized JPEG reached the filesystem");
}

Json PipelineTest::run() {
    auto preview = pipeline(slowEncoder());
    phaseSlowEncoder(preview);
    const Json lease = phaseReconnect(preview);
    phaseLeases(preview, lease);
    for (int fps : {10, 30, 60}) phaseCadence(fps);
    phaseBound();

    check(beginRefused(*boundPipeline_, 61, "INVALID_ARGUMENT"),
          "Preview cadence above the supported ceiling was accepted");

    return Json{{"ok", true},
                {"checks", checks_},
                {"latestOnlyReplacement", true},
                {"controlResponsiveDuringSlowEncode", true},
                {"stopWaitedForOriginalEncode", true},
                {"staleGenerationNotPublished", true},
                {"leaseSurvivedRotationAndStop", true},
                {"wrongLeaseAndPrematureReconnectRejected", true},
                {"oneMiBBoundEnforced", true},
                {"sessionDir", files_->url()},
                {"replacementReasonsAndDetailedTimings", true},
                {"deterministicCadenceFps", {10, 30, 60}},
                {"phaseAlignedLateWakeWouldBreakMinimumSpacing", true},
                {"cadencePolicyChanged", false},
                {"protocolFixture", protocolFixture_},
                {"deviceEnumeration", false},
                {"permissionsQueried", false},
                {"streamsOpened", false},
                {"physicalLatencyMeasured", false},
                {"encoder", "injected-complete-JFIF-fixture"},
                {"codecOrGPUAcceptance", false}};
}

}  // namespace

Json syntheticPreviewPipelineTest() {
    return PipelineTest().run();
}

}  // namespace qv
