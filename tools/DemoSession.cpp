// A short host session against one simulated player and its microphone: list, connect, read and
// release a live frame, take a screenshot, record for three seconds and close. Prints every line
// sent and received, then the files the helper made with their sizes and SHA-256.
//
//   demo-session [output-directory]
//
// The helper's private directory is made under the output directory (default: a fresh one under
// the system temporary directory) and left there for a look at the files.

#include "HelperProcess.h"
#include "SimulatedPlayerConfig.h"
#include "base/Sha256.h"
#include "base/Uuid.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

void show(const std::string& line, bool sent) {
    std::cout << (sent ? "\n-> " : "<- ") << line << "\n" << std::flush;
}

std::string fileSha256(const std::string& path, long long& bytes) {
    std::ifstream in(path, std::ios::binary);
    qv::Sha256 hash;
    std::vector<char> buffer(1 << 16);
    bytes = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = in.gcount();
        if (got <= 0) break;
        hash.update(buffer.data(), static_cast<std::size_t>(got));
        bytes += got;
    }
    return hash.finalHex();
}

void expect(const std::optional<Json>& line, const std::string& what) {
    if (!line) throw std::runtime_error("no " + what + " in time");
}

int run(const std::string& outputDir) {
    // One player at the size and rate of the real ones, with its microphone.
    const Json players = {{"video", {simVideo(1)}}, {"audio", {simAudio(1)}}};
    HelperProcess helper({"--stdio"},
                         {{"QUORVELLE_SIMULATED_DEVICES", players.dump()}, {"TMPDIR", outputDir}});
    helper.setTranscript(show);
    const auto ready = helper.readEvent("ready", 20.0);
    expect(ready, "\"ready\" event");
    const std::string sessionDir = ready->value("sessionDir", "");

    const Json list = helper.result("list");
    helper.result("connect",
                  {{"inventoryId", list["inventoryId"]},
                   {"selection",
                    {{"videoDeviceId", list.at("videoDevices").at(0)["deviceId"]},
                     {"audioDeviceId", list.at("audioDevices").at(0)["deviceId"]}}},
                   {"previewFps", 30}},
                  20.0);

    std::cout << "\n   (polling \"status\" quietly until the first preview frame is published)\n";
    helper.setTranscript(nullptr);
    helper.waitStatus([](const Json& status) {
        return !status["latestFrame"].is_null() && status["source"].is_object() &&
               status["source"].value("audioSamples", 0) > 0;
    });
    helper.setTranscript(show);
    helper.result("status");

    const Json frame = helper.result("live_frame");
    helper.result("release_frame", {{"leaseId", frame["leaseId"]}});
    helper.result("screenshot");

    helper.result("start_recording", {{"captureId", qv::randomUuid()}, {"durationMs", 3000}});
    expect(helper.readEvent("recording_finished", 30.0), "\"recording_finished\" event");

    helper.result("close", Json::object(), 30.0);
    expect(helper.readEvent("closed", 30.0), "\"closed\" event");
    const auto status = helper.waitExit(30.0);
    std::cout << "\nhelper exit status: " << (status ? std::to_string(*status) : "still running") << "\n";

    std::cout << "\nfiles in " << sessionDir << ":\n";
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(sessionDir)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        long long bytes = 0;
        const std::string digest = fileSha256(sessionDir + "/" + name, bytes);
        std::printf("  %-50s %10lld bytes  sha256 %s\n", name.c_str(), bytes, digest.c_str());
    }
    return status && *status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string outputDir;
    if (argc > 1) {
        outputDir = argv[1];
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quorvelle-demo-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        outputDir = pattern;
    }
    try {
        return run(outputDir);
    } catch (const std::exception& error) {
        std::cerr << "demo: " << error.what() << "\n";
        return 1;
    }
}
