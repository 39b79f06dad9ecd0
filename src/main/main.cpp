#include "base/CaptureError.h"
#include "base/JsonText.h"
#include "base/Runtime.h"
#include "main/ProtocolMode.h"
#include "selftest/IoSelfTest.h"
#include "selftest/LifecycleSelfTest.h"
#include "selftest/PreviewCodecTest.h"
#include "selftest/PreviewPipelineTest.h"
#include "selftest/SyntheticCodecTest.h"
#include "selftest/ValidationSelfTest.h"
#include "selftest/WatchdogSelfTest.h"

#include <unistd.h>

#include <charconv>
#include <functional>
#include <string>
#include <vector>

namespace {

using qv::Json;
using qv::writeAll;

// The shared ending of the test modes: one sorted-key result line, status 0, or the error result
// and status 1.
[[noreturn]] void printResult(const std::function<Json()>& body) {
    std::optional<std::string> line;
    int status = 0;
    try {
        line = qv::jsonLine(body());
        if (!line) throw qv::CaptureError("NATIVE_ERROR", qv::defaultErrorMessage);
    } catch (...) {
        line = qv::jsonLine(Json{{"ok", false}, {"error", qv::currentErrorJSON()}});
        status = 1;
    }
    writeAll(1, *line + "\n");
    qv::exitProcess(status);
}

// A base-10 integer with an optional single sign and nothing else; any other text counts as 0.
std::int64_t parseDuration(const std::string& text) {
    std::size_t start = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        start = 1;
    }
    if (start == text.size()) return 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
    }
    // Parsed with the sign so that the most negative value stays in range.
    std::string digits;
    if (negative) digits.push_back('-');
    digits.append(text, start);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return 0;
    return value;
}

[[noreturn]] void usageError() {
    writeAll(2, "Use --help\n");
    qv::exitProcess(64);
}

constexpr const char* helpLine =
    "Quorvelle Linux native capture prototype. --stdio accepts bounded JSONL protocol v1. "
    "--synthetic-test encodes generated pixels without device access. --self-test runs pure "
    "validation checks without device enumeration, permission queries or streams.\n";

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto only = [&](const char* word) { return args.size() == 1 && args[0] == word; };
    // Process-wide values first, before any mode runs.
    try {
        qv::startRuntime();
    } catch (...) {
        // Out of threads or descriptors before anything ran: the protocol's host still gets its one
        // fatal line, straight to the descriptor, since not even the output channel exists.
        if (only("--stdio")) {
            if (auto line = qv::jsonLine(qv::fatalJSON(std::nullopt, qv::currentErrorJSON()))) {
                writeAll(1, *line + "\n");
            }
        }
        qv::exitProcess(1);
    }

    if (only("--preview-codec-test")) printResult(qv::syntheticPreviewCodecTest);
    if (only("--preview-pipeline-test")) printResult(qv::syntheticPreviewPipelineTest);
    if (args.size() == 2 && args[0] == "--lifecycle-self-test" && (args[1] == "close" || args[1] == "eof")) {
        qv::lifecycleSelfTest(args[1] == "eof");
    }
    if (only("--watchdog-self-test")) qv::watchdogSelfTest();
    if (only("--io-self-test")) printResult(qv::ioSelfTest);
    if ((args.size() == 1 || args.size() == 2) &&
        (args[0] == "--synthetic-test" || args[0] == "--synthetic-audio-test")) {
        const bool withAudio = args[0] == "--synthetic-audio-test";
        const std::int64_t duration = args.size() == 2 ? parseDuration(args[1]) : 2000;
        printResult([&]() -> Json {
            if (duration < 1000 || duration > 600000 || duration % 1000 != 0) {
                throw qv::CaptureError("TEST_ARGUMENT",
                                       "Synthetic duration must be whole seconds from1000 through600000ms");
            }
            return qv::syntheticCodecTest(duration, withAudio);
        });
    }
    if (only("--help")) {
        writeAll(1, helpLine);
        qv::exitProcess(0);
    }
    if (only("--self-test")) qv::validationSelfTest();
    if (only("--stdio")) qv::runProtocolMode();
    usageError();
}
