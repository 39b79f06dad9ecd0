#include "DiskFault.h"
#include "TestSupport.h"
#include "base/CaptureError.h"
#include "base/Clock.h"
#include "base/Semaphore.h"
#include "base/Uuid.h"
#include "files/OwnedFiles.h"
#include "media/JpegCodec.h"
#include "preview/LatestPreview.h"
#include "selftest/PreviewCodecTest.h"
#include "selftest/PreviewFixtures.h"
#include "selftest/PreviewPipelineTest.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

namespace {

using namespace qv;

constexpr double waitSeconds = 10.0;

// Callbacks and encoder hooks; shared with the pipeline so it may outlive a failed test body.
struct Probe {
    Semaphore published, failed, stopped, entered;
    // Frame ids whose encode waits for `gate`; set before the pipeline runs.
    std::set<std::int64_t> gated;
    Semaphore gate;
    std::mutex mutex;
    std::vector<Json> failures;
    std::atomic<double> clock{0};
};

class LatestPreviewTest : public ::testing::Test {
protected:
    // A preview that has published frame 1. Its encoder returns a 2 x 2 picture, after the gate for
    // gated frames; each clock reading is a second later, so the cadence never holds a frame back.
    std::shared_ptr<LatestPreview> publishing() {
        auto probe = probe_;
        auto encode = [probe](const PreviewSample& sample) {
            if (probe->gated.count(sample.frameID) != 0) {
                probe->entered.signal();
                if (!probe->gate.wait(waitSeconds)) throw CaptureError("TEST", "gate not opened");
            }
            auto frame = PixelBuffer::create(2, 2);
            std::memset(frame->data(), 50, frame->bytesPerRow() * 2);
            return EncodedPreview{JpegCodec().encode(*frame, 80), 2, 2};
        };
        auto preview = LatestPreview::create(
            files_, encode, [probe] { return probe->clock = probe->clock + 1; }, nullptr,
            [probe](const std::exception& error) {
                std::lock_guard lock(probe->mutex);
                probe->failures.push_back(errorJSON(error));
                probe->failed.signal();
            },
            [probe] { probe->published.signal(); });
        onControl([&] {
            preview->begin(randomUuid(), 60);
            offer(*preview, 1);
        });
        EXPECT_TRUE(probe_->published.wait(waitSeconds));
        return preview;
    }

    void offer(LatestPreview& preview, std::int64_t id) {
        preview.offer(frame_, id, static_cast<double>(id), mono());
    }

    Json latest(LatestPreview& preview) {
        return *onControl([&] { return preview.latestImage(); });
    }

    void stopAndDrain(const std::shared_ptr<LatestPreview>& preview) {
        onControl([&] { preview->stop([probe = probe_] { probe->stopped.signal(); }); });
        ASSERT_TRUE(probe_->stopped.wait(waitSeconds));
    }

    int previewFiles() { return countDirectoryEntries(*files_, "preview-"); }

    std::vector<Json> failures() {
        std::lock_guard lock(probe_->mutex);
        return probe_->failures;
    }

    qvtest::ScopedTmpdir tmpdir_;
    std::shared_ptr<qvtest::DiskFault> disk_ = std::make_shared<qvtest::DiskFault>();
    std::shared_ptr<OwnedFiles> files_ = std::make_shared<OwnedFiles>(qvtest::faultyIo(disk_));
    std::shared_ptr<Probe> probe_ = std::make_shared<Probe>();
    PixelBufferRef frame_ = syntheticPreviewFrame("TEST");
};

TEST_F(LatestPreviewTest, AFailedDeletionLeavesTheNextJobAlone) {
    probe_->gated = {2, 3};
    auto preview = publishing();
    // A different file takes the published one's place, so deleting it must fail. It is made before the
    // original goes, so it cannot reuse the original's inode number.
    const std::string path = files_->url() + "/" + latest(*preview)["basename"].get<std::string>();
    std::ofstream(path + ".new") << "not ours";
    std::filesystem::rename(path + ".new", path);

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
    EXPECT_TRUE(qvtest::includes(stats, {{"workerInFlightReplacements", 1}, {"otherReplacements", 0}}));

    probe_->gate.signal();
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    ASSERT_TRUE(probe_->published.wait(waitSeconds));
    EXPECT_EQ(latest(*preview)["frameId"], 6);
    stopAndDrain(preview);
    EXPECT_EQ(failures().size(), 1u);
}

TEST_F(LatestPreviewTest, AFailedWriteLeavesNoFileAndThePipelinePublishesAgain) {
    struct Case {
        const char* what;
        std::int64_t room;
        int error, closeError;
        bool fileSizeLimit;  // the process's file-size ceiling instead of the disk
    };
    const Case cases[] = {
        {"full part way", 100, ENOSPC, 0, false},
        {"failing from the start", 0, EIO, 0, false},
        {"failing at close", -1, ENOSPC, EIO, false},
        {"over the file-size limit", -1, ENOSPC, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        probe_ = std::make_shared<Probe>();
        auto preview = publishing();

        disk_->room = c.room;
        disk_->error = c.error;
        disk_->closeError = c.closeError;
        const auto previousDisposition = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const rlimit small{64, saved.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, c.fileSizeLimit ? &small : &saved), 0);
        onControl([&] { offer(*preview, 2); });
        const bool failed = probe_->failed.wait(waitSeconds);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousDisposition);
        disk_->room = -1;
        disk_->closeError = 0;
        ASSERT_TRUE(failed);
        EXPECT_EQ(failures(),
                  (std::vector<Json>{{{"code", "OUTPUT_WRITE"}, {"message", "Image write failed"}}}));
        // Nothing was published; the frame before stays, and the partly written file is gone.
        Json kept = latest(*preview);
        EXPECT_EQ(kept["frameId"], 1);
        EXPECT_EQ(files_->metadata(kept["basename"]).sha256, kept["sha256"]);
        EXPECT_EQ(previewFiles(), 1);

        // Once the disk takes writes again, the next frame is published and replaces it.
        onControl([&] { offer(*preview, 3); });
        ASSERT_TRUE(probe_->published.wait(waitSeconds));
        EXPECT_TRUE(qvtest::includes(latest(*preview), {{"frameId", 3}, {"previewSequence", 2}}));
        stopAndDrain(preview);
        EXPECT_EQ(previewFiles(), 0);
        EXPECT_EQ(failures().size(), 1u);
    }
}

// The built-in tests run in-process here, so the sanitizer builds see their threads.
TEST(PreviewSelfTests, CodecAndPipelineTestsPassInProcess) {
    qvtest::ScopedTmpdir tmpdir;
    for (const Json& result : {syntheticPreviewCodecTest(), syntheticPreviewPipelineTest()})
        EXPECT_EQ(result.value("ok", false), true) << result.dump();
}

}  // namespace
