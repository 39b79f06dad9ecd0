// A short host session against one simulated player and its microphone: list, connect, read and
// release a live frame, take a screenshot, record for three seconds and close. Prints every line
// sent and received, then the files the helper made with their sizes and SHA-256.
//
//   demo-session [output-directory]
//
// The helper's private directory is made under the output directory (default: a fresh one under
// the system temporary directory) and left there for a look at the files.

#include "HelperProcess.h"
#include "platform/Sha256.h"
#include "platform/Uuid.h"
#include "protocol/Json.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using qv::Json;
using qvtest::HelperProcess;

namespace {

// One player at the size and rate of the real ones, with its microphone.
const Json simulatedPlayers = {
    {"video",
     {{{"id", "sim-video-01"},
       {"name", "Quorvelle - Player 01"},
       {"width", 160},
       {"height", 144},
       {"fps", 60}}}},
    {"audio", {{{"id", "sim-audio-01"}, {"name", "Microphone (Quorvelle - Player 01)"}}}}};

class Host {
public:
    explicit Host(const std::string& tmpdir)
        : helper_({"--stdio"},
                  {{"QUORVELLE_SIMULATED_DEVICES", simulatedPlayers.dump()}, {"TMPDIR", tmpdir}}) {}

    // Reads lines, printing each, until one satisfies `match`.
    Json readUntil(const std::function<bool(const Json&)>& match, double timeout, bool print = true) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        for (;;) {
            const double left =
                std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            const auto line = left > 0 ? helper_.readLine(left) : std::nullopt;
            if (!line) throw std::runtime_error("the helper did not answer in time");
            if (print) std::cout << "<- " << *line << "\n" << std::flush;
            const Json value = Json::parse(*line, nullptr, false);
            if (value.is_object() && match(value)) return value;
        }
    }

    Json request(const std::string& action, Json fields = Json::object(), bool print = true,
                 double timeout = 20.0) {
        const std::string id = qv::randomUuid();
        fields["requestId"] = id;
        fields["action"] = action;
        if (print) std::cout << "\n-> " << fields.dump() << "\n" << std::flush;
        helper_.sendLine(fields);
        const Json reply =
            readUntil([&](const Json& j) { return j.value("requestId", "") == id; }, timeout, print);
        if (!reply.value("ok", false)) {
            if (!print) std::cout << "<- " << reply.dump() << "\n";
            throw std::runtime_error(action + " failed");
        }
        return reply["result"];
    }

    HelperProcess& process() { return helper_; }

private:
    HelperProcess helper_;
};

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

int run(const std::string& outputDir) {
    Host host(outputDir);
    const Json ready = host.readUntil([](const Json& j) { return j.value("event", "") == "ready"; }, 20.0);
    const std::string sessionDir = ready.value("sessionDir", "");

    const Json list = host.request("list");
    const Json& video = list.at("videoDevices").at(0);
    const Json& audio = list.at("audioDevices").at(0);
    host.request("connect",
                 {{"inventoryId", list["inventoryId"]},
                  {"selection", {{"videoDeviceId", video["deviceId"]}, {"audioDeviceId", audio["deviceId"]}}},
                  {"previewFps", 30}});

    std::cout << "\n   (polling \"status\" quietly until the first preview frame is published)\n";
    for (int i = 0; i < 200; ++i) {
        const Json status = host.request("status", Json::object(), false);
        if (!status["latestFrame"].is_null() && status["source"].is_object() &&
            status["source"].value("audioSamples", 0) > 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    host.request("status");

    const Json frame = host.request("live_frame");
    host.request("release_frame", {{"leaseId", frame["leaseId"]}});
    host.request("screenshot");

    host.request("start_recording", {{"captureId", qv::randomUuid()}, {"durationMs", 3000}});
    host.readUntil([](const Json& j) { return j.value("event", "") == "recording_finished"; }, 30.0);

    host.request("close");
    host.readUntil([](const Json& j) { return j.value("event", "") == "closed"; }, 30.0);
    const auto status = host.process().waitExit(30.0);
    std::cout << "\nhelper exit status: " << (status ? std::to_string(*status) : "still running") << "\n";

    std::cout << "\nfiles in " << sessionDir << ":\n";
    std::vector<std::string> names;
    if (DIR* dir = opendir(sessionDir.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
        }
        closedir(dir);
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
