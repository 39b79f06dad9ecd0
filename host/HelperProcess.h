#pragma once

#include "base/Json.h"

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qvtest {

using qv::Json;

// The built helper executable.
const char* helperPath();

// What the helper's process is given besides its arguments and environment, as a hostile host or a
// crowded machine would: resource limits and another user.
struct Confinement {
    // RLIMIT_* resources with the value set as both soft and hard limit.
    std::vector<std::pair<int, rlim_t>> limits;
    // The user and group id the helper runs as (no supplementary groups); the caller must be allowed
    // to switch to it.
    std::optional<uid_t> user;
};

// Runs the real helper with pipes on all three standard streams and talks to it as a host does: for
// the black-box tests, the benchmarks and the demo.
class HelperProcess {
public:
    // `env` entries are added to (or replace those of) this process's environment. A `launcher`
    // (its program as an absolute path, then its arguments) runs the helper: the helper's path and
    // `args` follow its arguments. The `confinement` applies to the launcher and so to the helper.
    explicit HelperProcess(const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env = {},
                           const std::vector<std::string>& launcher = {},
                           const Confinement& confinement = {});
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    pid_t pid() const { return pid_; }

    void write(const std::string& bytes);
    void sendLine(const Json& object);
    void closeInput();
    void signal(int number);

    // The next standard-output line without its newline, or none after `timeout` seconds or EOF.
    std::optional<std::string> readLine(double timeout = 10.0);
    std::optional<Json> readJson(double timeout = 10.0);
    // Reads lines until one satisfies `match`; lines passed over are kept in skipped().
    std::optional<Json> readUntil(const std::function<bool(const Json&)>& match, double timeout = 10.0);
    std::optional<Json> readEvent(const std::string& name, double timeout = 10.0);
    const std::vector<Json>& skipped() const { return skipped_; }

    // Sends {"requestId": fresh, "action": action, ...fields}; returns the requestId.
    std::string send(const std::string& action, const Json& fields = Json::object());
    // Sends a request and returns its reply.
    std::optional<Json> request(const std::string& action, const Json& fields = Json::object(),
                                double timeout = 10.0);
    // The "result" of a successful reply; throws std::runtime_error naming the action otherwise.
    Json result(const std::string& action, const Json& fields = Json::object(), double timeout = 10.0);
    // Polls "status" until `done` holds; returns that status, or throws after `timeout` seconds.
    Json waitStatus(const std::function<bool(const Json&)>& done, double timeout = 15.0);

    // Shown every standard-output line read and every line sent (`sent`), as it passes; none: quiet.
    using Transcript = std::function<void(const std::string& line, bool sent)>;
    void setTranscript(Transcript transcript) { transcript_ = std::move(transcript); }

    // The exit status (or 128 + signal), or none if still running after `timeout`.
    std::optional<int> waitExit(double timeout = 10.0);
    // Everything written to standard error so far (complete once the process has exited).
    std::string errorText();

private:
    bool fill(int fd, std::string& buffer, double timeout);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outBuffer_;
    std::string errBuffer_;
    bool outEOF_ = false;
    std::optional<int> status_;
    std::vector<Json> skipped_;
    Transcript transcript_;
};

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the helper to completion with the given input; status -1 when it did not end in time.
RunResult runHelper(const std::vector<std::string>& args, const std::string& input = {},
                    double timeout = 60.0, const std::map<std::string, std::string>& env = {});

std::string freshUuid();

// A scratch directory removed with its contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace qvtest
