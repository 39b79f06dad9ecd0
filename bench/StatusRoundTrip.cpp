// Round-trip latency of "status" requests sent one at a time to the real helper over pipes.
#include "HelperProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace qvtest;

int main() {
    constexpr int requests = 10'000;
    TempDir tmp;
    HelperProcess helper({"--stdio"}, {{"TMPDIR", tmp.path()}});
    if (!helper.readJson()) {
        std::fprintf(stderr, "no ready event\n");
        return 1;
    }
    const std::string id = freshUuid();
    const std::string line = Json{{"requestId", id}, {"action", "status"}}.dump() + "\n";
    std::vector<double> micros;
    micros.reserve(requests);
    for (int i = 0; i < requests; ++i) {
        const auto start = std::chrono::steady_clock::now();
        helper.write(line);
        const auto reply = helper.readLine();
        const auto end = std::chrono::steady_clock::now();
        if (!reply) {
            std::fprintf(stderr, "no reply to request %d\n", i);
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
    std::printf(
        "status round trip over %d requests: p50 %.1f us, p99 %.1f us, max %.1f us (target p99 < 500 us)\n",
        requests, at(0.50), at(0.99), micros.back());
    helper.closeInput();
    helper.waitExit();
    return 0;
}
