#include "recording/Movie.h"

#include "base/Clock.h"
#include "base/Queue.h"
#include "base/Uuid.h"
#include "files/OwnedFiles.h"

#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace qv {

namespace {

constexpr int scale = 8;
constexpr int smallestSide = 2;
constexpr int largestSide = 512;
constexpr std::int64_t largestArea = 131'072;
constexpr std::int64_t audioBitRate = 128'000;

bool boundedSide(int side) {
    return side % 2 == 0 && side >= smallestSide && side <= largestSide;
}

// Writes every byte of `source` `times` times side by side, then repeats that row below it until
// `times` rows are filled: a nearest-neighbour enlargement of one plane.
template <int times>
void enlargePlane(const std::uint8_t* source, int width, int height, std::uint8_t* destination, int stride) {
    using Unit = std::conditional_t<times == 8, std::uint64_t, std::uint32_t>;
    static_assert(sizeof(Unit) == times);
    constexpr Unit spread = static_cast<Unit>(~Unit{0}) / 0xFF;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * times;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* first = destination + static_cast<std::size_t>(y) * times * stride;
        const std::uint8_t* in = source + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            const Unit block = static_cast<Unit>(in[x] * spread);
            std::memcpy(first + static_cast<std::size_t>(x) * times, &block, sizeof block);
        }
        for (int r = 1; r < times; ++r)
            std::memcpy(first + static_cast<std::size_t>(r) * stride, first, rowBytes);
    }
}

// x264's own count, 1.5 × the cores, but at most four: each frame in flight holds several pictures
// of up to 4096 × 2048, and more frames than the cores a helper can use gain nothing.
int encoderThreads() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<int>(std::min(cores * 3 / 2, 4u));
}

VideoSettings videoSettings(int width, int height) {
    VideoSettings settings;
    settings.width = width * scale;
    settings.height = height * scale;
    settings.averageBitRate = recordingBitRate(width, height);
    // Capture rates vary; the nominal rate only guides rate control, timestamps rule the file.
    settings.nominalFrameRate = 60;
    // The fastest analysis suits pictures of flat 8 × 8 blocks: their edges are real, so no
    // deblocking; they move by whole pixels, so no sub-pixel search; a flat block's transform is its
    // DC alone, so the 4 × 4 transform loses nothing. Zero latency: no frame reordering and no
    // look-ahead.
    settings.preset = "ultrafast";
    settings.tune = "zerolatency";
    // Frame threads rather than the slice threads that zerolatency picks: a slice-threaded frame
    // ends in a join that leaves a core idle while this thread draws the next picture and encodes
    // audio, whereas frame threads keep both cores busy and cost less per frame. The price is a
    // delay of a few frames inside x264, which a file does not mind.
    settings.frameThreads = true;
    settings.threads = encoderThreads();
    // With the average bit rate, x264 first analyses every picture at half size for its rate
    // control. Zero latency does that on this thread, before the frame threads get the picture: a
    // quarter of x264's work in series. On a thread of its own, two frames ahead, it overlaps the
    // coding of earlier frames instead. The coded pictures are the same.
    settings.analysisThreadFrames = 2;
    // The file is cut into fragments at keyframes while it is written, so what a crash leaves
    // behind plays up to a second before it.
    settings.keyframeSeconds = 1.0;
    return settings;
}

AudioSettings audioSettings(const AudioFormat& format) {
    return {format.sampleRate, format.channels, audioBitRate};
}

}  // namespace

void Movie::prepareEncoders() {
    // The smallest picture and a common microphone format: the set-up does not depend on them.
    MovieWriter::prepareEncoders(videoSettings(smallestSide, smallestSide), audioSettings({48'000, 1}));
}

std::int64_t recordingBitRate(int width, int height) {
    const std::int64_t area = static_cast<std::int64_t>(width) * height;
    if (area < 10'417) return 8'000'000;
    return std::min<std::int64_t>(area * 768, 20'000'000);
}

void enlargeToI420(const PixelBuffer& source, std::uint8_t* const planes[3], const int strides[3],
                   std::uint8_t* scratch) {
    // Every 2 × 2 block of the enlarged picture lies inside one source pixel, so converting the
    // source at full chroma resolution and enlarging luma 8× and chroma 4× gives exactly the 4:2:0
    // picture of the enlarged frame, for a sixty-fourth of the conversion work.
    const int w = source.width();
    const int h = source.height();
    const std::size_t area = static_cast<std::size_t>(w) * h;
    std::uint8_t* y = scratch;
    std::uint8_t* u = y + area;
    std::uint8_t* v = u + area;
    libyuv::ARGBToI444(source.data(), static_cast<int>(source.bytesPerRow()), y, w, u, w, v, w, w, h);
    enlargePlane<scale>(y, w, h, planes[0], strides[0]);
    enlargePlane<scale / 2>(u, w, h, planes[1], strides[1]);
    enlargePlane<scale / 2>(v, w, h, planes[2], strides[2]);
}

Movie::Movie(std::string captureId, std::int64_t requestedMs, OwnedFiles& files, const PixelBufferRef& pixel,
             std::optional<AudioFormat> audioFormat)
    : id(lowerCased(std::move(captureId))),
      basename("capture-" + id + ".mp4"),
      durationMs(requestedMs),
      deadline(mono() + static_cast<double>(requestedMs) / 1000.0),
      deadlineUnixMs(nowMs() + requestedMs) {
    files.check();
    // Exclusive creation decides "already used" atomically; the writer gets the descriptor.
    const int fd = files.createOwned(basename);
    try {
        writer = std::make_shared<MovieWriter>(fd, files.directoryFD(), basename);
        const int w = pixel ? pixel->width() : 0;
        const int h = pixel ? pixel->height() : 0;
        if (!boundedSide(w) || !boundedSide(h) || static_cast<std::int64_t>(w) * h > largestArea) {
            throw CaptureError("FORMAT_UNSUPPORTED", "H.264 capture requires bounded even dimensions");
        }
        width_ = w;
        height_ = h;
        yuv_ = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(w) * h * 3);
        if (!writer->addVideo(videoSettings(w, h))) {
            throw CaptureError("CODEC_UNSUPPORTED", "Native H.264 writer is unavailable");
        }
        if (audioFormat) {
            if (audioFormat->sampleRate < 8'000 || audioFormat->sampleRate > 192'000 ||
                (audioFormat->channels != 1 && audioFormat->channels != 2)) {
                throw CaptureError("AUDIO_FORMAT_UNSUPPORTED",
                                   "Only mono/stereo bounded native audio is supported");
            }
            if (!writer->addAudio(audioSettings(*audioFormat))) {
                throw CaptureError("CODEC_UNSUPPORTED", "Native AAC writer is unavailable");
            }
        }
        if (!writer->startWriting()) throw CaptureError("WRITER_START", "Native recording did not start");
    } catch (...) {
        // The name stays free for a later attempt, as if the file had never been made.
        writer.reset();
        try {
            files.removeOwned(basename);
        } catch (...) {
        }
        throw;
    }
}

std::optional<CaptureError> Movie::failedWriter() const {
    if (writer->status() != MovieWriter::Status::failed) return std::nullopt;
    return CaptureError("WRITER_FAILED", "Native writer failed");
}

std::optional<CaptureError> Movie::recordVideo(const PixelBufferRef& frame, double time) {
    if (state != RecordingState::recording) return std::nullopt;
    if (!firstPTS) {
        firstPTS = time;
        writer->startSession(time);
    }
    if (time < *firstPTS) return std::nullopt;
    if ((lastVideoPTS && time <= *lastVideoPTS) || !writer->isVideoReady() || !appendVideo(frame, time)) {
        ++droppedVideo;
    } else {
        ++videoSamples;
        lastVideoPTS = time;
    }
    return failedWriter();
}

std::optional<CaptureError> Movie::recordAudio(const AudioSample& sample) {
    if (state != RecordingState::recording) return std::nullopt;
    const double time = sample.presentationTime;
    // Nothing is heard before the first picture: the file starts there.
    if (!firstPTS || time < *firstPTS) return std::nullopt;
    if (!writer->hasAudio() || (lastAudioPTS && time <= *lastAudioPTS) || !writer->isAudioReady() ||
        !writer->appendAudio(sample)) {
        ++droppedAudio;
    } else {
        ++audioSamples;
        lastAudioPTS = time;
    }
    return failedWriter();
}

bool Movie::appendVideo(const PixelBufferRef& frame, double time) {
    if (!frame || frame->data() == nullptr || frame->width() != width_ || frame->height() != height_) {
        return false;
    }
    // The enlargement runs on the writer's thread, off the thread that delivers frames.
    return writer->appendVideo(
        [frame, scratch = yuv_](YuvFrame& destination) {
            std::uint8_t* const planes[3] = {destination.plane(0), destination.plane(1),
                                             destination.plane(2)};
            const int strides[3] = {destination.stride(0), destination.stride(1), destination.stride(2)};
            enlargeToI420(*frame, planes, strides, scratch->data());
        },
        time);
}

void Movie::videoDropped() {
    ++droppedVideo;
}

void Movie::audioDropped(int count) {
    // Before the first picture nothing is recorded, so nothing is missing either.
    if (firstPTS) droppedAudio += count;
}

std::int64_t Movie::fileSize() const {
    return writer->fileSize();
}

void Movie::beginFinishing() {
    state = RecordingState::finishing;
}

void Movie::finish(Queue& queue, std::function<void()> done) {
    writer->markVideoFinished();
    if (writer->hasAudio()) writer->markAudioFinished();
    if (firstPTS && writer->status() != MovieWriter::Status::failed) {
        writer->finish([&queue, done = std::move(done)] { queue.async(done); });
    } else {
        writer->cancel();
        queue.async(std::move(done));
    }
}

bool Movie::conclude(const OwnedFiles& files, const End& end) {
    Json error = end.lastError.value_or(nullptr);
    Json name = nullptr;
    Json sha256 = nullptr;
    std::int64_t bytes = 0;
    try {
        writer->setMode(0600);
        const auto metadata = files.metadata(basename);
        bytes = metadata.bytes;
        sha256 = metadata.sha256;
        name = basename;
    } catch (...) {
        error = currentErrorJSON();
        bytes = 0;
    }
    const RecordingOutcome outcome =
        recordingOutcome({.reason = end.reason,
                          .devicesReleased = end.devicesReleased,
                          .streamRunning = end.streamRunning,
                          .writerCompleted = writer->status() == MovieWriter::Status::completed,
                          .videoSamples = videoSamples,
                          .bytes = bytes,
                          .errorRecorded = end.lastError.has_value()});
    state = outcome.state;
    if (outcome.state != RecordingState::complete && error.is_null()) {
        error = CaptureError("CAPTURE_PARTIAL", "Capture did not complete normally").json();
    }
    completed = Json{{"captureId", id},
                     {"state", protocolName(state)},
                     {"basename", name},
                     {"bytes", bytes},
                     {"sha256", sha256},
                     {"durationMs", elapsedMs()},
                     {"requestedDurationMs", durationMs},
                     {"videoSamples", videoSamples},
                     {"audioSamples", audioSamples},
                     {"droppedVideoSamples", droppedVideo},
                     {"droppedAudioSamples", droppedAudio},
                     {"reason", protocolName(end.reason)},
                     {"error", error},
                     {"devicesReleased", end.devicesReleased},
                     {"streamContinues", outcome.streamContinues}};
    return outcome.streamContinues;
}

std::int64_t Movie::elapsedMs() const {
    if (!firstPTS || !lastVideoPTS) return 0;
    const double ms = std::trunc((*lastVideoPTS - *firstPTS) * 1000.0);
    return ms > 0 ? static_cast<std::int64_t>(ms) : 0;
}

Json Movie::json() const {
    if (completed) return *completed;
    return Json{{"captureId", id},
                {"state", protocolName(state)},
                {"durationMs", elapsedMs()},
                {"requestedDurationMs", durationMs},
                {"deadlineUnixMs", deadlineUnixMs},
                {"videoSamples", videoSamples},
                {"audioSamples", audioSamples},
                {"droppedVideoSamples", droppedVideo},
                {"droppedAudioSamples", droppedAudio}};
}

}  // namespace qv
