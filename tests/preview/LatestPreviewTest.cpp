#include "PreviewTestSupport.h"
#include "platform/JpegCodec.h"
#include "platform/Runtime.h"
#include "platform/Semaphore.h"
#include "platform/Uuid.h"
#include "preview/LatestPreview.h"
#include "protocol/CaptureError.h"
#include "protocol/Clock.h"
#include "selftest/PreviewFixtures.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace qv;
using qvtest::ScratchFiles;

constexpr double waitSeconds = 10.0;

// Callbacks and encoder hooks; shared with the pipeline so it may outlive a failed test body.
struct Probe {
    Semaphore published;
    Semaphore failed;
    Semaphore stopped;
    Semaphore entered;
    // Frame ids whose encode waits for `gate`; set before the pipeline runs.
    std::set<std::int64_t> gated;
    Semaphore gate;
    std::function<void()> onPublished;
    std::mutex mutex;
    std::vector<Json> failures;
    std::atomic<double> clock{0};
};

class LatestPreviewTest : public ::testing::Test {
protected:
    std::shared_ptr<LatestPreview> make(PreviewEncoder encode = nullptr) {
        auto probe = probe_;
        // Each reading is a second later, so the cadence never holds a frame back.
        return LatestPreview::create(
            scratch_.files(), std::move(encode), [probe] { return probe->clock = probe->clock + 1; }, nullptr,
            [probe](const std::exception& error) {
                {
                    std::lock_guard lock(probe->mutex);
                    probe->failures.push_back(errorJSON(error));
                }
                probe->failed.signal();
            },
            [probe] {
                if (probe->onPublished) probe->onPublished();
                probe->published.signal();
            });
    }

    // The 2 x 2 picture every injected encoder returns, after the gate for gated frames.
    PreviewEncoder fixtureEncoder(std::function<void()> onEncode = nullptr) {
        auto probe = probe_;
        return [probe, onEncode](const PreviewSample& sample) {
            if (onEncode) onEncode();
            if (probe->gated.count(sample.frameID) != 0) {
                probe->entered.signal();
                if (!probe->gate.wait(waitSeconds)) throw CaptureError("TEST", "gate not opened");
            }
            auto frame = PixelBuffer::create(2, 2);
            std::memset(frame->data(), 50, frame->bytesPerRow() * 2);
            JpegCodec codec;
            return EncodedPreview{codec.encode(*frame, 80), 2, 2};
        };
    }

    void offer(LatestPreview& preview, std::int64_t id) {
        preview.offer(frame_, id, static_cast<double>(id), mono());
    }

    void stopAndDrain(const std::shared_ptr<LatestPreview>& preview) {
        onControl([&] { preview->stop([probe = probe_] { probe->stopped.signal(); }); });
        ASSERT_TRUE(probe_->stopped.wait(waitSeconds));
    }

    int previewFiles() { return countDirectoryEntries(*scratch_.files(), "preview-"); }

    std::vector<Json> failures() {
        std::lock_guard lock(probe_->mutex);
        return probe_->failures;
    }

    // Puts a different file in place of one the pipeline wrote, so deleting it must fail.
    void replaceExternally(const std::string& basename) {
        const std::string path = scratch_.dir() + "/" + basename;
        // Made before the original goes, so it cannot reuse the original's inode number.
        std::ofstream(path + ".new") << "not ours";
        std::filesystem::rename(path + ".new", path);
    }

    ScratchFiles scratch_;
    std::shared_ptr<Probe> probe_ = std::make_shared<Probe>();
    PixelBufferRef frame_ = syntheticPreviewFrame("TEST");
};

TEST_F(LatestPreviewTest, DefaultEncoderPublishesAReducedFrameWithItsExactRecord) {
    auto preview = make();
    const std::string generation = randomUuid();
    std::string upper = generation;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    auto large = PixelBuffer::create(1280, 1152);
    std::memset(large->data(), 60, large->bytesPerRow() * 1152);
    onControl([&] {
        preview->begin(upper, 30);
        preview->offer(large, 7, 0.25, mono());
    });
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    const Json image = *onControl([&] { return preview->latestImage(); });
    EXPECT_EQ(image["width"], 640);
    EXPECT_EQ(image["height"], 576);
    EXPECT_EQ(image["frameId"], 7);
    EXPECT_EQ(image["sourcePTS"], 0.25);
    EXPECT_EQ(image["previewSequence"], 1);
    EXPECT_EQ(image["connectionId"], generation);
    EXPECT_EQ(image["timing"]["clock"], "system-uptime");
    const std::string basename = image["basename"];
    EXPECT_TRUE(basename.starts_with("preview-") && isCanonicalUuid(basename.substr(8, 36)));
    const auto metadata = scratch_.files()->metadata(basename);
    EXPECT_EQ(image["bytes"], metadata.bytes);
    EXPECT_EQ(image["sha256"], metadata.sha256);
    stopAndDrain(preview);
    EXPECT_EQ(previewFiles(), 0);
    EXPECT_TRUE(failures().empty());
}

TEST_F(LatestPreviewTest, NeverMoreThanThreePreviewFilesExist) {
    std::atomic<int> most{0};
    const auto observe = [this, &most] {
        const int now = previewFiles();
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
    };
    // Looked at while every job runs, and at every publish, when the replaced file still exists.
    probe_->onPublished = observe;
    auto preview = make(fixtureEncoder(observe));
    auto probe = probe_;
    onControl([&] {
        preview->begin(randomUuid(), 60);
        offer(*preview, 1);
    });
    ASSERT_TRUE(probe->published.wait(waitSeconds));
    Json lease = onControl([&] { return preview->acquire(); });
    for (std::int64_t id = 2; id <= 40; ++id) {
        // Bursts keep a frame waiting behind a running job most of the time.
        onControl([&] {
            offer(*preview, id);
            observe();
        });
        if (id % 10 == 0) {
            onControl([&] {
                preview->release(lease["leaseId"].get<std::string>());
                lease = preview->acquire();
            });
        }
    }
    // Let the last offered frame through, then count once more at a publish.
    onControl([&] { offer(*preview, 1000); });
    for (;;) {
        ASSERT_TRUE(probe->published.wait(waitSeconds));
        const auto latest = onControl([&] { return preview->latestImage(); });
        observe();
        if (latest && (*latest)["frameId"] == 1000) break;
    }
    // Reached whenever a publish replaces an unleased file while another one is leased.
    EXPECT_EQ(most.load(), 3);
    onControl([&] { preview->release(lease["leaseId"].get<std::string>()); });
    stopAndDrain(preview);
    EXPECT_EQ(previewFiles(), 0);
    EXPECT_TRUE(failures().empty());
}

TEST_F(LatestPreviewTest, FailedDeletionsReachFailure) {
    auto preview = make(fixtureEncoder());
    onControl([&] {
        preview->begin(randomUuid(), 60);
        offer(*preview, 1);
    });
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    const std::string first = (*onControl([&] { return preview->latestImage(); }))["basename"];

    // Deleting the replaced latest file, inside the job that published its successor.
    replaceExternally(first);
    onControl([&] { offer(*preview, 2); });
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    ASSERT_TRUE(probe_->failed.wait(waitSeconds));
    ASSERT_EQ(failures().size(), 1u);
    EXPECT_EQ(failures()[0]["code"], "OUTPUT_IDENTITY");
    EXPECT_EQ(failures()[0]["message"], "Capture image was externally replaced");

    // Deleting a released lease's file, on its own.
    const Json lease = onControl([&] { return preview->acquire(); });
    onControl([&] { offer(*preview, 3); });
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    replaceExternally(lease["basename"]);
    onControl([&] { preview->release(lease["leaseId"].get<std::string>()); });
    ASSERT_TRUE(probe_->failed.wait(waitSeconds));
    ASSERT_EQ(failures().size(), 2u);
    EXPECT_EQ(failures()[1]["message"], "Capture image was externally replaced");

    // Deleting the latest file at stop.
    const std::string latest = (*onControl([&] { return preview->latestImage(); }))["basename"];
    replaceExternally(latest);
    stopAndDrain(preview);
    ASSERT_TRUE(probe_->failed.wait(waitSeconds));
    EXPECT_EQ(failures().size(), 3u);
}

TEST_F(LatestPreviewTest, AFailedDeletionLeavesTheNextJobAlone) {
    probe_->gated = {2, 3};
    auto preview = make(fixtureEncoder());
    onControl([&] {
        preview->begin(randomUuid(), 60);
        offer(*preview, 1);
    });
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    replaceExternally((*onControl([&] { return preview->latestImage(); }))["basename"]);

    // Frame 2 is held in its encoder while frame 3 waits, so publishing 2 starts 3 at once, and
    // only then does deleting frame 1's file fail.
    onControl([&] { offer(*preview, 2); });
    ASSERT_TRUE(probe_->entered.wait(waitSeconds));
    onControl([&] { offer(*preview, 3); });
    probe_->gate.signal();
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    ASSERT_TRUE(probe_->entered.wait(waitSeconds));
    ASSERT_TRUE(probe_->failed.wait(waitSeconds));

    // Frame 3 is still encoding: a new frame waits behind it, and the next one replaces it as an
    // in-flight replacement instead of starting a second job beside the running one.
    const Json stats = onControl([&] {
        offer(*preview, 5);
        offer(*preview, 6);
        return preview->statistics();
    });
    EXPECT_EQ(stats["workerInFlightReplacements"], 1);
    EXPECT_EQ(stats["otherReplacements"], 0);

    probe_->gate.signal();
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    EXPECT_EQ((*onControl([&] { return preview->latestImage(); }))["frameId"], 6);
    stopAndDrain(preview);
    EXPECT_EQ(failures().size(), 1u);
}

TEST_F(LatestPreviewTest, APartlyWrittenFileIsRemoved) {
    auto preview = make(fixtureEncoder());
    // A file-size ceiling below the JPEG's size makes the write stop part way.
    const auto previousDisposition = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    onControl([&] {
        preview->begin(randomUuid(), 60);
        offer(*preview, 1);
    });
    const bool failed = probe_->failed.wait(waitSeconds);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousDisposition);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failures()[0]["code"], "OUTPUT_WRITE");
    EXPECT_EQ(previewFiles(), 0);

    // The pipeline carries on with the next frame.
    onControl([&] { offer(*preview, 2); });
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    stopAndDrain(preview);
    EXPECT_EQ(previewFiles(), 0);
}

TEST_F(LatestPreviewTest, AJobOutlivingItsPipelineDeletesItsFile) {
    probe_->gated = {1};
    auto preview = make(fixtureEncoder());
    onControl([&] {
        preview->begin(randomUuid(), 60);
        offer(*preview, 1);
    });
    ASSERT_TRUE(probe_->entered.wait(waitSeconds));
    preview.reset();
    probe_->gate.signal();
    // Nothing reports the deletion any more; the directory shows it.
    const double deadline = mono() + waitSeconds;
    while (previewFiles() != 0 && mono() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(previewFiles(), 0);
    EXPECT_TRUE(failures().empty());
}

}  // namespace
