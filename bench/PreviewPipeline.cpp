// Offers 160 x 144 frames at 60 per second to the production preview pipeline (default encoder,
// cadence clock and schedule, a real private directory) and prints the publish latency, the
// encode time per frame and the process CPU time used. Optional argument: seconds (default 30).

#include "base/Clock.h"
#include "base/Runtime.h"
#include "base/Semaphore.h"
#include "base/Uuid.h"
#include "files/OwnedFiles.h"
#include "preview/LatestPreview.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace qv;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// A moving diagonal gradient, so every frame differs and the encoder does real work.
std::vector<PixelBufferRef> makeFrames(int count) {
    std::vector<PixelBufferRef> frames;
    for (int i = 0; i < count; ++i) {
        auto frame = PixelBuffer::create(160, 144);
        for (int y = 0; y < 144; ++y) {
            std::uint8_t* row = frame->row(y);
            for (int x = 0; x < 160; ++x) {
                row[x * 4 + 0] = static_cast<std::uint8_t>(x + i * 4);
                row[x * 4 + 1] = static_cast<std::uint8_t>(y + i * 2);
                row[x * 4 + 2] = static_cast<std::uint8_t>(x + y + i);
                row[x * 4 + 3] = 255;
            }
        }
        frames.push_back(frame);
    }
    return frames;
}

}  // namespace

int main(int argc, char** argv) {
    const double duration = argc > 1 ? std::atof(argv[1]) : 30.0;
    const auto frames = makeFrames(60);
    auto files = std::make_shared<OwnedFiles>();

    // Touched only on the control queue.
    std::vector<double> latencies;
    std::vector<double> encodes;
    std::vector<double> cadenceWaits;
    std::vector<double> pipelineTimes;
    std::weak_ptr<LatestPreview> weak;
    int failures = 0;
    auto preview = LatestPreview::create(
        files, nullptr, nullptr, nullptr, [&](const std::exception&) { ++failures; },
        [&] {
            const auto image = weak.lock()->latestImage();
            const Json& timing = (*image)["timing"];
            latencies.push_back(timing["publishedAtMs"].get<double>() -
                                timing["callbackReceivedAtMs"].get<double>());
            encodes.push_back(timing["encodeFinishedAtMs"].get<double>() -
                              timing["encodeStartedAtMs"].get<double>());
            cadenceWaits.push_back(timing["previewQueuedAtMs"].get<double>() -
                                   timing["callbackReceivedAtMs"].get<double>());
            pipelineTimes.push_back(timing["publishedAtMs"].get<double>() -
                                    timing["previewQueuedAtMs"].get<double>());
        });
    weak = preview;
    controlQueue().sync([&] { preview->begin(randomUuid(), 60); });

    const double cpuStart = cpuSeconds();
    const double start = mono();
    const auto period = std::chrono::duration<double>(1.0 / 60);
    auto next = std::chrono::steady_clock::now();
    std::int64_t offered = 0;
    while (mono() - start < duration) {
        const PixelBufferRef frame = frames[static_cast<std::size_t>(offered) % frames.size()];
        const std::int64_t id = ++offered;
        controlQueue().async(
            [&, frame, id] { preview->offer(frame, id, static_cast<double>(id) / 60, mono()); });
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
        std::this_thread::sleep_until(next);
    }
    Semaphore stopped;
    controlQueue().sync([&] { preview->stop([&] { stopped.signal(); }); });
    stopped.wait(10);
    const double elapsed = mono() - start;
    const double cpu = cpuSeconds() - cpuStart;

    Json stats;
    controlQueue().sync([&] { stats = preview->statistics(); });
    std::printf("preview pipeline: 160x144 at 60 fps for %.1f s\n", elapsed);
    std::printf("  offered %lld, published %zu, replaced %lld, failures %d\n",
                static_cast<long long>(offered), latencies.size(),
                static_cast<long long>(stats["replacedSamples"].get<std::int64_t>()), failures);
    std::printf("  publish latency ms: p50 %.3f  p99 %.3f  max %.3f\n", percentile(latencies, 0.5),
                percentile(latencies, 0.99),
                latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()));
    std::printf(
        "  encode ms per frame: p50 %.3f  p99 %.3f  mean %.3f\n", percentile(encodes, 0.5),
        percentile(encodes, 0.99), encodes.empty() ? 0.0 : [&] {
            double sum = 0;
            for (double e : encodes) sum += e;
            return sum / static_cast<double>(encodes.size());
        }());
    // The latency splits into the wait for the cadence (the minimum start spacing) and the time
    // from handing the job to the worker to the publish.
    std::printf("  of which cadence wait ms: p50 %.3f  p99 %.3f\n", percentile(cadenceWaits, 0.5),
                percentile(cadenceWaits, 0.99));
    std::printf("  of which worker to publish ms: p50 %.3f  p99 %.3f  max %.3f\n",
                percentile(pipelineTimes, 0.5), percentile(pipelineTimes, 0.99),
                pipelineTimes.empty() ? 0.0 : *std::max_element(pipelineTimes.begin(), pipelineTimes.end()));
    std::printf("  CPU %.3f s = %.2f%% of one core (offering thread included)\n", cpu, 100.0 * cpu / elapsed);
    std::fflush(stdout);
    exitProcess(0);
}
