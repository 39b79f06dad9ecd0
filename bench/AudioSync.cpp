// Records simulated players whose microphone clock runs off the system clock, with sync marks (a
// white frame and a tone burst at the same instant) every second, then decodes the file and prints,
// for each clock error, the audio's offset from the picture at every mark (each burst against its
// mark's instant, which the white frames give), its largest value in the first 10 s and after, and
// the resampling correction the recording applied (from the spacing of the bursts in the file
// against the samples the microphone produced between them).
//
//   bench_AudioSync [seconds] [ppm...]        (defaults: 600, +1000 and -1000)

#include "HelperProcess.h"
#include "SimulatedPlayerConfig.h"
#include "SyncMarks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

constexpr double markPeriod = 1.0;
constexpr double settling = 10.0;

void run(double duration, double ppm) {
    const Json players = {{"video", {simVideo(1)}},
                          {"audio", {simAudio(1, {{"clockPpm", ppm}})}},
                          {"syncMarks", markPeriod * 1000}};
    TempDir tmp;
    HelperProcess helper({"--stdio"},
                         {{"QUORVELLE_SIMULATED_DEVICES", players.dump()}, {"TMPDIR", tmp.path()}});
    const auto ready = helper.readEvent("ready", 20.0);
    if (!ready) throw std::runtime_error("no ready event");
    const Json list = helper.result("list");
    helper.result("connect",
                  {{"inventoryId", list["inventoryId"]},
                   {"selection", {{"videoDeviceId", videoId(1)}, {"audioDeviceId", audioId(1)}}}},
                  20.0);
    helper.waitStatus([](const Json& status) {
        return !status["latestFrame"].is_null() && status["source"]["audioSamples"].get<int>() > 0;
    });
    helper.result("start_recording",
                  {{"captureId", freshUuid()}, {"durationMs", static_cast<long>(duration * 1000)}}, 20.0);
    const auto finished = helper.readEvent("recording_finished", duration + 60);
    if (!finished) throw std::runtime_error("no recording_finished event");
    const Json& recording = (*finished)["recording"];
    helper.result("close", Json::object(), 20.0);
    helper.waitExit(20.0);

    const SyncMarks marks = readSyncMarks((*ready)["sessionDir"].get<std::string>() + "/" +
                                          recording["basename"].get<std::string>());
    if (!marks.readable) throw std::runtime_error("the recording could not be decoded");
    const std::vector<double> offsets = marks.offsets(markPeriod);
    std::printf(
        "clock %+.0f ppm, %.0f s: %zu bursts, %zu white frames (%d a frame or more after their mark: the "
        "camera's thread fell behind), %d audio blocks dropped, longest silence %.2f ms\n",
        ppm, duration, marks.bursts.size(), marks.whiteFrames.size(),
        marks.lateWhiteFrames(markPeriod, 1 / 60.0), recording["droppedAudioSamples"].get<int>(),
        marks.longestSilence * 1000);
    std::printf("  offset of each burst from its mark, ms (audio late > 0):\n   ");
    double worstEarly = 0;
    double worstLate = 0;
    double worstClear = 0;
    int nearLoss = 0;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        // Sound lost on the way within a second before the burst (marked *) may have taken its start.
        const double burst = marks.bursts[i];
        const bool lossNear = std::any_of(marks.silences.begin(), marks.silences.end(),
                                          [&](double at) { return at > burst - 1 && at < burst + 0.05; });
        std::printf(" %.1f%s", offsets[i] * 1000, lossNear ? "*" : "");
        if ((i + 1) % 20 == 0) std::printf("\n   ");
        double& worst = burst < settling ? worstEarly : worstLate;
        worst = std::max(worst, std::fabs(offsets[i]) * 1000);
        if (burst >= settling && !lossNear) worstClear = std::max(worstClear, std::fabs(offsets[i]) * 1000);
        nearLoss += lossNear ? 1 : 0;
    }
    std::printf(
        "\n  largest |offset|: %.2f ms in the first %.0f s, %.2f ms after (%.2f ms leaving out the %d marks "
        "with sound lost in the second before)\n",
        worstEarly, settling, worstLate, worstClear, nearLoss);
    // Between two bursts the microphone produced (marks apart) × rate × (1 + ppm) samples; the file
    // holds the bursts' distance × rate.
    const auto correction = [&](std::size_t from, std::size_t to) {
        const double produced =
            std::round((marks.bursts[to] - marks.bursts[from]) / markPeriod) * markPeriod * (1 + ppm / 1e6);
        return ((marks.bursts[to] - marks.bursts[from]) / produced - 1) * 1e6;
    };
    if (marks.bursts.size() > 2) {
        std::printf("  correction applied: %+.1f ppm overall; by minute:",
                    correction(0, marks.bursts.size() - 1));
        const auto perMinute = static_cast<std::size_t>(60 / markPeriod);
        for (std::size_t from = 0; from + 1 < marks.bursts.size(); from += perMinute)
            std::printf(" %+.0f", correction(from, std::min(from + perMinute, marks.bursts.size() - 1)));
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const double duration = argc > 1 ? std::atof(argv[1]) : 600.0;
        std::vector<double> clocks;
        for (int i = 2; i < argc; ++i) clocks.push_back(std::atof(argv[i]));
        if (clocks.empty()) clocks = {1000, -1000};
        for (const double ppm : clocks) run(duration, ppm);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench: %s\n", error.what());
        return 1;
    }
}
