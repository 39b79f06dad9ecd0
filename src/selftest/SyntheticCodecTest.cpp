#include "selftest/SyntheticCodecTest.h"

#include "recording/Movie.h"
#include "files/OwnedFiles.h"
#include "media/JpegCodec.h"
#include "media/MediaDuration.h"
#include "media/PngEncoder.h"
#include "base/Runtime.h"
#include "base/Semaphore.h"
#include "media/TestPicture.h"
#include "base/Uuid.h"
#include "base/CaptureError.h"
#include "base/Clock.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <new>
#include <numbers>
#include <thread>

namespace qv {

namespace {

constexpr int frameWidth = 160;
constexpr int frameHeight = 144;
constexpr int framesPerSecond = 60;
constexpr int toneRate = 48'000;
constexpr int samplesPerFrame = toneRate / framesPerSecond;
constexpr double finishWait = 15.0;
constexpr int jpegQuality = 80;

std::shared_ptr<PixelBuffer> makeFrame(const char* message) {
    try {
        return PixelBuffer::create(frameWidth, frameHeight);
    } catch (const std::bad_alloc&) {
        throw CaptureError("SYNTHETIC_BUFFER", message);
    }
}

// Polls readiness as a real-time source would see it, within the whole run's limit.
void waitUntilReady(const MovieWriter& writer, bool video, double t0, double limit, const char* code,
                    const char* message) {
    while (!(video ? writer.isVideoReady() : writer.isAudioReady())) {
        if (writer.status() == MovieWriter::Status::failed) return;
        if (mono() - t0 >= limit) throw CaptureError(code, message);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

double readDuration(const OwnedFiles& files, const std::string& basename) {
    // Non-blocking, so that a FIFO put in the file's place cannot hold the open.
    const int fd =
        ::openat(files.directoryFD(), basename.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return NAN;
    double seconds = NAN;
    try {
        seconds = containerDurationSeconds(fd);
    } catch (const PlatformError&) {
        // An unreadable container has no duration, which the check below reports.
    }
    ::close(fd);
    return seconds;
}

}  // namespace

void fillSyntheticFrame(PixelBuffer& frame, std::int64_t index) {
    drawTestPicture(frame, index);
}

std::vector<std::int16_t> syntheticTone(std::int64_t index) {
    std::vector<std::int16_t> samples(samplesPerFrame);
    for (int k = 0; k < samplesPerFrame; ++k) {
        const double m = static_cast<double>(index * samplesPerFrame + k);
        samples[static_cast<std::size_t>(k)] = static_cast<std::int16_t>(
            std::trunc(std::sin(2.0 * std::numbers::pi * 440.0 * m / toneRate) * 2048.0));
    }
    return samples;
}

Json syntheticCodecTest(std::int64_t durationMs, bool withAudio) {
    OwnedFiles files;
    const auto first = makeFrame("Could not create synthetic pixels");
    const std::string captureId = randomUuid();

    std::optional<AudioFormat> audioFormat;
    if (withAudio) {
        audioFormat = AudioFormat{toneRate, 1};
        if (audioFormat->sampleRate <= 0 || audioFormat->channels <= 0) {
            throw CaptureError("SYNTHETIC_AUDIO_FORMAT", "Could not create synthetic PCM format");
        }
    }

    Movie movie(captureId, durationMs, files, first, audioFormat);
    MovieWriter& writer = *movie.writer;
    writer.startSession(0);
    if (first->width() != frameWidth || first->height() != frameHeight) {
        throw CaptureError("SYNTHETIC_FORMAT", "Could not create synthetic video format");
    }

    const double t0 = mono();
    const std::int64_t frames = durationMs * framesPerSecond / 1000;
    const double limit = static_cast<double>(durationMs) / 10'000.0 + 30.0;
    std::shared_ptr<PixelBuffer> last;
    for (std::int64_t i = 0; i < frames; ++i) {
        last = makeFrame("Could not create bounded synthetic frame");
        fillSyntheticFrame(*last, i);
        const double time = static_cast<double>(i) / framesPerSecond;
        if (!std::isfinite(time) || last->data() == nullptr) {
            throw CaptureError("SYNTHETIC_SAMPLE", "Could not create synthetic sample");
        }

        waitUntilReady(writer, true, t0, limit, "SYNTHETIC_TIMEOUT", "Native writer readiness timed out");
        if (!movie.appendVideo(last, time)) {
            throw CaptureError("SYNTHETIC_APPEND", "Native H.264 append failed");
        }
        if (withAudio && writer.hasAudio()) {
            AudioSample sample;
            sample.format = *audioFormat;
            sample.presentationTime = static_cast<double>(i * samplesPerFrame) / toneRate;
            try {
                sample.samples = syntheticTone(i);
            } catch (const std::bad_alloc&) {
                throw CaptureError("SYNTHETIC_AUDIO_BUFFER", "Could not allocate synthetic PCM");
            }
            if (sample.samples.size() != static_cast<std::size_t>(samplesPerFrame)) {
                throw CaptureError("SYNTHETIC_AUDIO_BUFFER", "Could not fill synthetic PCM");
            }
            if (sample.frames() != samplesPerFrame || !std::isfinite(sample.presentationTime)) {
                throw CaptureError("SYNTHETIC_AUDIO_SAMPLE", "Could not create synthetic PCM sample");
            }
            waitUntilReady(writer, false, t0, limit, "SYNTHETIC_AUDIO_TIMEOUT",
                           "Native AAC writer readiness timed out");
            if (!writer.appendAudio(sample)) {
                throw CaptureError("SYNTHETIC_AUDIO_APPEND", "Native AAC append failed");
            }
        }
    }

    writer.markVideoFinished();
    writer.markAudioFinished();
    auto finished = std::make_shared<Semaphore>();
    writer.finish([finished] { finished->signal(); });
    if (!finished->wait(finishWait) || writer.status() != MovieWriter::Status::completed) {
        throw CaptureError("SYNTHETIC_FINISH", "Native H.264 finish failed");
    }

    // Through the open descriptor: a path could name another file by now.
    writer.setMode(0600);
    const OwnedFiles::Metadata mp4 = files.metadata(movie.basename);

    std::string jpeg;
    std::string png;
    if (last) {
        jpeg = JpegCodec().encode(*last, jpegQuality);
        png = encodePNG(*last);
    }
    if (jpeg.empty() || png.empty()) throw CaptureError("SYNTHETIC_IMAGES", "Native image encoding failed");
    files.write(jpeg, "synthetic.jpg", maxPreviewBytes);
    files.write(png, "synthetic.png", maxSnapshotBytes);

    const double seconds = readDuration(files, movie.basename);
    const double requested = static_cast<double>(durationMs) / 1000.0;
    if (!std::isfinite(seconds) || std::fabs(seconds - requested) >= 0.05) {
        throw CaptureError("SYNTHETIC_DURATION", "Native MP4 duration differs from the synthetic timeline");
    }

    return Json{{"ok", true},
                {"synthetic", true},
                {"deviceEnumeration", false},
                {"permissionsQueried", false},
                {"streamsOpened", false},
                {"videoSamples", frames},
                {"sourceDurationSeconds", requested},
                {"containerDurationSeconds", seconds},
                {"wallClockSeconds", mono() - t0},
                {"wallClockEnduranceTest", false},
                {"codec", "h264"},
                {"audio", withAudio},
                {"audioCodec", withAudio ? "aac" : "none"},
                {"sessionDir", files.url()},
                {"mp4", {{"basename", movie.basename}, {"bytes", mp4.bytes}, {"sha256", mp4.sha256}}},
                {"jpegBytes", static_cast<std::int64_t>(jpeg.size())},
                {"pngBytes", static_cast<std::int64_t>(png.size())}};
}

}  // namespace qv
