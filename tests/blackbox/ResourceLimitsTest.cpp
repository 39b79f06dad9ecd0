#include "SimulatedPlayers.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <thread>

using namespace qvtest;

namespace {

// Ends a session that sends close: the forced exit comes 17 s after it, plus a margin.
constexpr double exitBound = 25.0;

// The reply's error code, "ok", or "none" when no reply came.
std::string outcome(const std::optional<Json>& reply) {
    if (!reply) return "none";
    return reply->value("ok", false) ? "ok" : reply->value("error", Json::object()).value("code", "?");
}

// Runs list, connect (camera and microphone), a one-second recording and close, as far as the helper
// lets it, checking as it goes that each reply is alone and that a failure leaves the session usable.
// Returns the session's course with its faults, and whether it was sound: it ended in bounds with a
// defined status, a silent standard error and no fault.
std::pair<std::string, bool> runSession(const Confinement& confinement, const TempDir& tmp) {
    const Json config = {{"video", {simVideo(1)}}, {"audio", {simAudio(1)}}};
    HelperProcess process({"--stdio"},
                          {{"QUORVELLE_SIMULATED_DEVICES", config.dump()}, {"TMPDIR", tmp.path()}}, {},
                          confinement);
    std::vector<std::string> lines;
    process.setTranscript([&](const std::string& line, bool sent) {
        if (!sent) lines.push_back(line);
    });
    std::string course, faults;
    const auto fault = [&](const std::string& text) { faults += " | " + text; };
    // Whether a fatal line has come: the session is ending, which may refuse what follows.
    const auto ending = [&] {
        return std::ranges::any_of(lines, [](const std::string& l) { return l.find("\"fatal\"") != l.npos; });
    };
    const auto ask = [&](const std::string& action, const Json& fields, double timeout) {
        auto reply = process.request(action, fields, timeout);
        course += action + ":" + outcome(reply) + " ";
        return reply;
    };

    const auto first = process.readJson(20.0);
    course += first ? first->value("event", "?") + " " : "no first line ";
    if (first && first->value("event", "") == "ready") {
        const auto listed = ask("list", Json::object(), 10.0);
        if (outcome(listed) == "ok") {
            const Json connect = {
                {"inventoryId", (*listed)["result"]["inventoryId"]},
                {"selection", {{"videoDeviceId", videoId(1)}, {"audioDeviceId", audioId(1)}}}};
            const auto connected = ask("connect", connect, 20.0);
            if (outcome(connected) == "ok") {
                // A recording needs a frame and a sample first.
                bool warm = false;
                for (int tries = 0; tries < 200 && !warm; ++tries) {
                    const auto polled = process.request("status", Json::object(), 10.0);
                    if (outcome(polled) != "ok") break;
                    const Json source = (*polled)["result"].value("source", Json());
                    warm = source.is_object() && source.value("videoSamples", 0) > 3 &&
                           source.value("audioSamples", 0) > 3;
                    if (!warm) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
                course += warm ? "warm " : "cold ";
                const auto started =
                    ask("start_recording", {{"captureId", freshUuid()}, {"durationMs", 1000}}, 10.0);
                if (outcome(started) == "ok") {
                    if (!process.readEvent("recording_finished", 20.0)) fault("the recording did not finish");
                } else if (outcome(started) != "none" && !ending()) {
                    // A refused start must not leave a recording that ends the session at its deadline.
                    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                    if (outcome(ask("status", Json::object(), 10.0)) != "ok")
                        fault("no status after a refused start_recording");
                }
            } else if (outcome(connected) != "none") {
                const auto status = ask("status", Json::object(), 10.0);
                if (outcome(status) == "ok" && (*status)["result"].value("connection", "") == "connecting")
                    fault("still connecting after a failed connect");
            }
        }
        if (outcome(ask("close", Json::object(), 20.0)) == "ok")
            course += process.readEvent("closed", exitBound) ? "closed " : "no closed event ";
    }
    process.closeInput();
    const auto status = process.waitExit(exitBound);
    // Whatever is left on standard output belongs to the session too.
    while (process.readLine(0.2)) {
    }
    std::string err = process.errorText();
    std::ranges::replace(err, '\n', ' ');

    std::map<std::string, int> replies;
    int fatals = 0;
    for (const auto& line : lines) {
        const Json value = Json::parse(line, nullptr, false);
        if (!value.is_object()) {
            fault("not a JSON object: " + line);
        } else if (value.contains("requestId") && ++replies[value["requestId"].dump()] == 2) {
            fault("two replies to " + value["requestId"].dump() + ": " + line);
        } else if (value.value("event", "") == "fatal") {
            course += "fatal:" + value["error"].value("code", "?") + " ";
            // A session ends once; a second notice means two paths each took it down.
            if (++fatals == 2) fault("two fatal lines");
        }
    }
    if (status && *status != 0 && *status != 1 && *status != 2) fault("undefined exit status");
    course += "| exit " + (status ? std::to_string(*status) : "none (hang)");
    if (!err.empty()) course += " | standard error: " + err;
    return {course + faults, status && err.empty() && faults.empty()};
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

// A range of descriptor or thread limits, a range per test so that the ranges run side by side.
struct Range {
    int resource, from, to;
};

class Limit : public ::testing::TestWithParam<Range> {};

// Runs a session per limit value; each must be sound, and its course is printed to show where the
// limit bites. The kernel counts a user's threads and lets root pass any limit, so under a thread
// limit the helper runs as an otherwise unused user.
TEST_P(Limit, EverySessionEndsInBoundsSilentlyWithOneReplyPerRequest) {
    std::optional<uid_t> user;
    if (GetParam().resource == RLIMIT_NPROC) {
        user = unusedUser();
        if (::geteuid() != 0 || !canRunAs(*user))
            GTEST_SKIP() << "needs root and a helper and scratch directory that another user can reach";
    }
    for (int value = GetParam().from; value <= GetParam().to; ++value) {
        TempDir tmp;
        if (user) {
            ASSERT_EQ(::chown(tmp.path().c_str(), *user, *user), 0);
        }
        const auto [course, sound] =
            runSession({{{GetParam().resource, static_cast<rlim_t>(value)}}, user}, tmp);
        EXPECT_TRUE(sound) << "limit " << value << ": " << course;
        std::cout << "limit " << value << ": " << course << "\n";
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, Limit,
                         ::testing::Values(Range{RLIMIT_NOFILE, 5, 13}, Range{RLIMIT_NOFILE, 14, 22},
                                           Range{RLIMIT_NOFILE, 23, 31}, Range{RLIMIT_NOFILE, 32, 40},
                                           Range{RLIMIT_NPROC, 5, 12}, Range{RLIMIT_NPROC, 13, 20}),
                         [](const auto& range) {
                             return (range.param.resource == RLIMIT_NOFILE ? "files" : "threads") +
                                    std::to_string(range.param.from) + "to" + std::to_string(range.param.to);
                         });

}  // namespace
