#include "selftest/PreviewCodecTest.h"
#include "base/Limits.h"

#include "base/CaptureError.h"
#include "base/Clock.h"
#include "base/Digest.h"
#include "base/Runtime.h"
#include "base/Semaphore.h"
#include "base/Uuid.h"
#include "files/OwnedFiles.h"
#include "media/JpegCodec.h"
#include "preview/LatestPreview.h"
#include "selftest/PreviewFixtures.h"

#include <mutex>
#include <optional>

namespace qv {

namespace {

constexpr const char* codecTestCode = "PREVIEW_CODEC_TEST";
constexpr double settleSeconds = 10.0;

// The first error the pipeline reported, kept for the test thread.
class ErrorRecorder {
public:
    void record(const std::exception& error) {
        std::lock_guard lock(mutex_);
        if (error_) return;
        if (const auto* capture = dynamic_cast<const CaptureError*>(&error)) {
            error_ = *capture;
        } else {
            const Json record = errorJSON(error);
            error_ = CaptureError(record["code"].get<std::string>(), record["message"].get<std::string>());
        }
    }
    void throwIfRecorded() {
        std::lock_guard lock(mutex_);
        if (error_) throw *error_;
    }

private:
    std::mutex mutex_;
    std::optional<CaptureError> error_;
};

// Outlives the test's stack frame, since the pipeline's callbacks hold it.
struct Signals {
    Semaphore settled;
    Semaphore stopped;
    ErrorRecorder errors;
};

}  // namespace

Json syntheticPreviewCodecTest() {
    auto files = std::make_shared<OwnedFiles>();
    const PixelBufferRef frame = syntheticPreviewFrame(codecTestCode);
    auto signals = std::make_shared<Signals>();
    auto preview = LatestPreview::create(
        files, nullptr, nullptr, nullptr,
        [signals](const std::exception& error) {
            signals->errors.record(error);
            signals->settled.signal();
        },
        [signals] { signals->settled.signal(); });

    const std::string generation = randomUuid();
    onControl([&] {
        preview->begin(generation, 60);
        preview->offer(frame, 1, 1.0, mono());
    });
    if (!signals->settled.wait(settleSeconds))
        throw CaptureError(codecTestCode, "Production preview encoder did not settle");
    signals->errors.throwIfRecorded();

    const Json leased = onControl([&] { return preview->acquire(); });
    const std::string basename = leased["basename"].get<std::string>();
    const OwnedFiles::Metadata metadata = files->metadata(basename);
    const std::string bytes = readOwnedFile(*files, basename, protocolLimits.maxPreviewBytes);
    JpegCodec codec;
    const auto decoded = codec.decode(bytes.data(), bytes.size());
    if (!decoded || decoded->width() != 160 || decoded->height() != 144 ||
        static_cast<std::int64_t>(bytes.size()) != metadata.bytes || sha256Hex(bytes) != metadata.sha256 ||
        leased["sha256"] != metadata.sha256 || leased["connectionId"] != generation) {
        throw CaptureError(codecTestCode, "Encoded preview did not decode with its exact metadata");
    }

    onControl([&] {
        preview->release(leased["leaseId"].get<std::string>());
        preview->stop([signals] { signals->stopped.signal(); });
    });
    if (!signals->stopped.wait(settleSeconds))
        throw CaptureError(codecTestCode, "Production preview cleanup did not settle");
    signals->errors.throwIfRecorded();

    return Json{{"ok", true},
                {"encoder", "production-CoreImage-preview-worker"},
                {"decodedWidth", decoded->width()},
                {"decodedHeight", decoded->height()},
                {"bytes", static_cast<std::int64_t>(bytes.size())},
                {"sha256", metadata.sha256},
                {"metadata", leased},
                {"cleanupDrained", true},
                {"sessionDir", files->url()},
                {"deviceEnumeration", false},
                {"permissionsQueried", false},
                {"streamsOpened", false},
                {"physicalLatencyMeasured", false}};
}

}  // namespace qv
