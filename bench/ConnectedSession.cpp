// One simulated player at 160 × 144 and 60 frames per second with its microphone, connected and
// recording for 60 s while the host polls "status" 20 times a second and reads a live frame twice a
// second. Prints dropped samples, the helper's CPU time per second of capture, preview publish
// latency, "status" round-trip latency and the helper's peak resident memory. With "pipewire" the
// player is the build's test-player instead (the same size, rate and microphone), published on a
// private PipeWire and WirePlumber, and the helper captures it through its PipeWire backend.
//
//   bench_ConnectedSession [seconds] [pipewire]

#include "HelperProcess.h"
#include "PipeWireStack.h"
#include "SimulatedPlayerConfig.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace qvtest;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// User + system CPU seconds of a process.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Peak resident set size in MiB.
double peakResidentMiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

Json ok(HelperProcess& helper, const std::string& action, const Json& fields = Json::object()) {
    return helper.result(action, fields, 20.0);
}

void run(double duration, bool pipewire) {
    TempDir tmp;
    std::map<std::string, std::string> env{{"TMPDIR", tmp.path()}};
    std::unique_ptr<PipeWireStack> stack;
    Json selection;
    if (pipewire) {
        stack = std::make_unique<PipeWireStack>();
        if (!stack->running() || stack->addPlayer() <= 0) throw std::runtime_error("PipeWire did not start");
        env.insert(stack->env().begin(), stack->env().end());
        env["QUORVELLE_DEVICE_BACKEND"] = "pipewire";
        selection = {{"videoDeviceId", "pipewire:quorvelle-test-camera"},
                     {"audioDeviceId", "pipewire:quorvelle-test-microphone"}};
    } else {
        env["QUORVELLE_SIMULATED_DEVICES"] = Json{{"video", {simVideo(1)}}, {"audio", {simAudio(1)}}}.dump();
        selection = {{"videoDeviceId", videoId(1)}, {"audioDeviceId", audioId(1)}};
    }
    HelperProcess helper({"--stdio"}, env);
    if (!helper.readEvent("ready", 20.0)) throw std::runtime_error("no ready event");

    const Json list = ok(helper, "list");
    ok(helper, "connect", {{"inventoryId", list["inventoryId"]}, {"selection", selection}});
    helper.waitStatus([](const Json& status) {
        return !status["latestFrame"].is_null() && status["source"]["audioSamples"].get<int>() > 0;
    });

    const auto durationMs = static_cast<long>(duration * 1000) + 5000;
    const auto startSent = Clock::now();
    ok(helper, "start_recording", {{"captureId", freshUuid()}, {"durationMs", durationMs}});
    const double startMs = seconds(Clock::now() - startSent) * 1000.0;
    const int dropsBefore = ok(helper, "status")["previewStats"]["nativeDroppedVideoSamples"];
    const double cpuStart = cpuSeconds(helper.pid());
    const auto start = Clock::now();

    std::vector<double> statusMs;
    std::map<std::int64_t, double> previewMs;  // by frame id
    std::map<std::int64_t, double> waitMs;     // the part before the encode job was queued
    const auto notePreview = [&](const Json& image) {
        if (!image.is_object()) return;
        const Json& timing = image["timing"];
        previewMs[image["frameId"].get<std::int64_t>()] =
            timing["publishedAtMs"].get<double>() - timing["callbackReceivedAtMs"].get<double>();
        waitMs[image["frameId"].get<std::int64_t>()] =
            timing["previewQueuedAtMs"].get<double>() - timing["callbackReceivedAtMs"].get<double>();
    };
    int liveFrames = 0;
    int liveFrameMisses = 0;
    for (long tick = 0;; ++tick) {
        const auto due = start + std::chrono::milliseconds(50 * tick);
        if (seconds(due - start) >= duration) break;
        std::this_thread::sleep_until(due);
        const auto sent = Clock::now();
        const Json status = ok(helper, "status");
        statusMs.push_back(seconds(Clock::now() - sent) * 1000.0);
        notePreview(status["latestFrame"]);
        if (tick % 10 == 0) {
            const auto frame = helper.request("live_frame", Json::object(), 20.0);
            if (frame && frame->value("ok", false)) {
                ++liveFrames;
                notePreview((*frame)["result"]);
                ok(helper, "release_frame", {{"leaseId", (*frame)["result"]["leaseId"]}});
            } else {
                ++liveFrameMisses;
            }
        }
    }
    const double elapsed = seconds(Clock::now() - start);
    const double cpu = cpuSeconds(helper.pid()) - cpuStart;
    ok(helper, "stop_recording");
    const auto finished = helper.readEvent("recording_finished", 30.0);
    if (!finished) throw std::runtime_error("no recording_finished event");
    const Json status = ok(helper, "status");
    const double peak = peakResidentMiB(helper.pid());
    ok(helper, "close");
    helper.waitExit(20.0);

    std::vector<double> preview;
    std::vector<double> wait;
    for (const auto& [id, ms] : previewMs) preview.push_back(ms);
    for (const auto& [id, ms] : waitMs) wait.push_back(ms);
    const Json& recording = (*finished)["recording"];
    std::printf("connected session (%s), 160x144 at 60 fps with microphone, recording, %.1f s\n",
                pipewire ? "PipeWire test player" : "simulated player", elapsed);
    std::printf("  recording: state %s, %d video and %d audio samples, %d ms\n",
                recording["state"].get<std::string>().c_str(), recording["videoSamples"].get<int>(),
                recording["audioSamples"].get<int>(), recording["durationMs"].get<int>());
    std::printf("  dropped video samples: native %d, recording %d; dropped audio samples (recording) %d\n",
                status["previewStats"]["nativeDroppedVideoSamples"].get<int>(),
                recording["droppedVideoSamples"].get<int>(), recording["droppedAudioSamples"].get<int>());
    std::printf("  start_recording round trip %.1f ms; native drops before the recording %d\n", startMs,
                dropsBefore);
    std::printf("  helper CPU: %.1f%% of one core (%.3f s per second of capture)\n", 100.0 * cpu / elapsed,
                cpu / elapsed);
    std::printf("  preview publish latency (%zu frames): p50 %.2f ms, p99 %.2f ms\n", preview.size(),
                percentile(preview, 0.5), percentile(preview, 0.99));
    std::printf("    of which waiting before the encode job was queued: p50 %.2f ms, p99 %.2f ms\n",
                percentile(wait, 0.5), percentile(wait, 0.99));
    std::printf("  status round trip (%zu requests): p50 %.2f ms, p99 %.2f ms\n", statusMs.size(),
                percentile(statusMs, 0.5), percentile(statusMs, 0.99));
    std::printf("  live frames read: %d (%d without a fresh frame)\n", liveFrames, liveFrameMisses);
    std::printf("  peak resident memory: %.1f MiB\n", peak);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        run(argc > 1 ? std::atof(argv[1]) : 60.0, argc > 2 && std::string(argv[2]) == "pipewire");
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench: %s\n", error.what());
        return 1;
    }
}
