#include "SimulatedPlayers.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

using namespace qvtest;

namespace {

// Ends a session that sends close: the forced exit comes 17 s after it, plus a margin.
constexpr double exitBound = 25.0;

// What one session under a limit showed: its steps, how it ended and what it did wrong.
struct Session {
    std::string steps;
    std::optional<int> status;  // none: still running after the bounds
    std::string err;
    std::vector<std::string> faults;
};

std::string describe(const Session& session) {
    std::ostringstream text;
    text << session.steps << "| exit " << (session.status ? std::to_string(*session.status) : "none (hang)");
    if (!session.err.empty()) {
        std::string err = session.err;
        std::ranges::replace(err, '\n', ' ');
        text << " | standard error: " << err;
    }
    for (const auto& fault : session.faults) text << " | " << fault;
    return text.str();
}

// Runs list, connect (camera and microphone), a one-second recording and close, as far as the helper
// lets it, checking as it goes that each reply is alone and that a failure leaves the session usable.
Session runSession(const Confinement& confinement, const TempDir& tmp) {
    const Json config = {{"video", {simVideo(1)}}, {"audio", {simAudio(1)}}};
    HelperProcess process({"--stdio"},
                          {{"QUORVELLE_SIMULATED_DEVICES", config.dump()}, {"TMPDIR", tmp.path()}}, {},
                          confinement);
    std::vector<std::string> lines;
    process.setTranscript([&](const std::string& line, bool sent) {
        if (!sent) lines.push_back(line);
    });
    Session session;
    const auto step = [&](const std::string& text) { session.steps += text + " "; };
    const auto fault = [&](const std::string& text) { session.faults.push_back(text); };
    // The reply's error code, "ok", or "none" when no reply came.
    const auto outcome = [](const std::optional<Json>& reply) -> std::string {
        if (!reply) return "none";
        if (reply->value("ok", false)) return "ok";
        return reply->value("error", Json::object()).value("code", "?");
    };
    // Whether a fatal line has come: the session is ending, which may refuse what follows.
    const auto ending = [&] {
        return std::ranges::any_of(
            lines, [](const std::string& line) { return line.find("\"fatal\"") != line.npos; });
    };
    const auto ask = [&](const std::string& action, const Json& fields, double timeout) {
        auto reply = process.request(action, fields, timeout);
        step(action + ":" + outcome(reply));
        return reply;
    };

    const auto first = process.readJson(20.0);
    step(first ? first->value("event", "?") : "no first line");
    if (first && first->value("event", "") == "ready") {
        const auto listed = ask("list", Json::object(), 10.0);
        if (outcome(listed) == "ok") {
            const Json connect = {
                {"inventoryId", (*listed)["result"]["inventoryId"]},
                {"selection", {{"videoDeviceId", videoId(1)}, {"audioDeviceId", audioId(1)}}}};
            const auto connected = ask("connect", connect, 20.0);
            if (outcome(connected) == "ok") {
                // A recording needs a frame and, with a microphone, a sample first.
                const auto warm = [&](const std::optional<Json>& reply) {
                    if (outcome(reply) != "ok") return false;
                    const Json source = (*reply)["result"].value("source", Json());
                    return source.is_object() && source.value("videoSamples", 0) > 3 &&
                           source.value("audioSamples", 0) > 3;
                };
                std::optional<Json> polled;
                for (int tries = 0; tries < 200; ++tries) {
                    polled = process.request("status", Json::object(), 10.0);
                    if (outcome(polled) != "ok" || warm(polled)) break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
                step(warm(polled) ? "warm" : "status:" + outcome(polled));
                const auto started =
                    ask("start_recording", {{"captureId", freshUuid()}, {"durationMs", 1000}}, 10.0);
                if (outcome(started) == "ok") {
                    const auto finished = process.readEvent("recording_finished", 20.0);
                    step(finished ? "recording_finished" : "no recording_finished");
                    if (!finished) fault("the recording did not finish");
                } else if (outcome(started) != "none" && !ending()) {
                    // A refused start must not leave a recording that ends the session at its deadline.
                    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                    const auto status = ask("status", Json::object(), 10.0);
                    if (outcome(status) != "ok") fault("no status after a refused start_recording");
                }
            } else if (outcome(connected) != "none") {
                const auto status = ask("status", Json::object(), 10.0);
                if (outcome(status) == "ok" && (*status)["result"].value("connection", "") == "connecting")
                    fault("still connecting after a failed connect");
            }
        }
        const auto closed = ask("close", Json::object(), 20.0);
        if (outcome(closed) == "ok")
            step(process.readEvent("closed", exitBound) ? "closed" : "no closed event");
    }
    process.closeInput();
    session.status = process.waitExit(exitBound);
    // Whatever is left on standard output belongs to the session too.
    while (process.readLine(0.2)) {
    }
    session.err = process.errorText();

    std::map<std::string, int> replies;
    int fatals = 0;
    for (const auto& line : lines) {
        const Json value = Json::parse(line, nullptr, false);
        if (!value.is_object()) {
            fault("not a JSON object: " + line);
        } else if (value.contains("requestId") && ++replies[value["requestId"].dump()] == 2) {
            fault("two replies to " + value["requestId"].dump() + ": " + line);
        } else if (value.value("event", "") == "fatal") {
            step("fatal:" + value["error"].value("code", "?"));
            // A session ends once; a second notice means two paths each took it down.
            if (++fatals == 2) fault("two fatal lines");
        }
    }
    if (session.status && *session.status != 0 && *session.status != 1 && *session.status != 2) {
        fault("undefined exit status");
    }
    return session;
}

// Runs a session per limit value; each must end in bounds, with a defined status, a silent standard
// error and at most one reply per request.
void sweep(int resource, int from, int to, const std::optional<uid_t>& user = std::nullopt) {
    for (int value = from; value <= to; ++value) {
        TempDir tmp;
        if (user) {
            ASSERT_EQ(::chown(tmp.path().c_str(), *user, *user), 0);
        }
        const Session session = runSession({{{resource, static_cast<rlim_t>(value)}}, user}, tmp);
        const bool sound = session.status && session.err.empty() && session.faults.empty();
        EXPECT_TRUE(sound) << "limit " << value << ": " << describe(session);
        // Every session's course, in the test's output, shows where the limit bites.
        std::cout << "limit " << value << ": " << describe(session) << "\n";
    }
}

// A user id of its own per test process, so that the thread limits of tests running at once do not
// count each other's threads (the limit counts all of one user's).
uid_t unusedUser() {
    return static_cast<uid_t>(200000 + ::getpid() % 100000);
}

// Whether this process may run the helper as another user: it is root, not stripped of that right,
// and the user can reach the helper and the scratch directories.
bool canRunAs(uid_t user) {
    const std::string scratch = std::filesystem::temp_directory_path().string();
    const pid_t child = ::fork();
    if (child == 0) {
        _exit(::setgid(user) == 0 && ::setuid(user) == 0 && ::access(helperPath(), X_OK) == 0 &&
                      ::access(scratch.c_str(), X_OK) == 0
                  ? 0
                  : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

std::string rangeName(const ::testing::TestParamInfo<std::pair<int, int>>& range) {
    return std::to_string(range.param.first) + "to" + std::to_string(range.param.second);
}

// Descriptor limits, a range per test so that the ranges run side by side.
class DescriptorLimit : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(DescriptorLimit, EverySessionEndsInBoundsSilentlyWithOneReplyPerRequest) {
    sweep(RLIMIT_NOFILE, GetParam().first, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Limits, DescriptorLimit,
                         ::testing::Values(std::pair{5, 13}, std::pair{14, 22}, std::pair{23, 31},
                                           std::pair{32, 40}),
                         rangeName);

// Thread limits. The kernel counts a user's threads and lets root pass any limit, so the helper runs
// as an otherwise unused user.
class ThreadLimit : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(ThreadLimit, EverySessionEndsInBoundsSilentlyWithOneReplyPerRequest) {
    const uid_t user = unusedUser();
    if (::geteuid() != 0 || !canRunAs(user)) {
        GTEST_SKIP() << "needs root and a helper and scratch directory that another user can reach";
    }
    sweep(RLIMIT_NPROC, GetParam().first, GetParam().second, user);
}

INSTANTIATE_TEST_SUITE_P(Limits, ThreadLimit, ::testing::Values(std::pair{5, 12}, std::pair{13, 20}),
                         rangeName);

}  // namespace
