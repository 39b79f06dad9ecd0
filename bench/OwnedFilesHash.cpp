// Hashes one 128 MiB file through OwnedFiles::metadata() and through sha256sum, alternating, and
// prints the best throughput of each and their ratio.
#include "HelperProcess.h"
#include "base/Limits.h"
#include "base/Runtime.h"
#include "files/OwnedFiles.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

double seconds(const std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string sha256sum(const std::string& path) {
    const std::string command = "sha256sum '" + path + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    char digest[65] = {};
    const std::size_t count = std::fread(digest, 1, 64, pipe);
    ::pclose(pipe);
    return std::string(digest, count);
}

}  // namespace

int main() {
    qvtest::TempDir scratch;
    ::setenv("TMPDIR", scratch.path().c_str(), 1);
    qv::OwnedFiles files;
    const std::string name = "capture-bench.mp4";
    const std::string path = files.url() + "/" + name;

    {
        const int fd = files.createOwned(name);
        std::mt19937_64 random(42);
        std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
        for (std::int64_t written = 0; written < qv::protocolLimits.maxRecordBytes; written += 1 << 20) {
            for (auto& word : block) word = random();
            if (::write(fd, block.data(), 1 << 20) != 1 << 20) return 1;
        }
        ::close(fd);
    }

    constexpr int rounds = 5;
    double bestOwned = 1e9;
    double bestTool = 1e9;
    std::string ownedDigest;
    std::string toolDigest;
    files.metadata(name);  // warms the page cache for both
    for (int round = 0; round < rounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        ownedDigest = files.metadata(name).sha256;
        bestOwned = std::min(bestOwned, seconds(start));
        start = std::chrono::steady_clock::now();
        toolDigest = sha256sum(path);
        bestTool = std::min(bestTool, seconds(start));
    }
    const double mib = static_cast<double>(qv::protocolLimits.maxRecordBytes) / (1 << 20);
    std::printf("file: %.0f MiB, best of %d rounds each\n", mib, rounds);
    std::printf("metadata():  %8.1f MiB/s (%.3f s)\n", mib / bestOwned, bestOwned);
    std::printf("sha256sum:   %8.1f MiB/s (%.3f s)\n", mib / bestTool, bestTool);
    std::printf("ratio metadata/sha256sum: %.3f (target >= 0.9)\n", bestTool / bestOwned);
    std::printf("digests %s\n", ownedDigest == toolDigest ? "match" : "DIFFER");
    return ownedDigest == toolDigest ? 0 : 1;
}
