#include "HelperProcess.h"

#include "base/Uuid.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace qvtest {

const char* helperPath() {
    return QV_HELPER_PATH;
}

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

HelperProcess::HelperProcess(const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env,
                             const std::vector<std::string>& launcher, const Confinement& confinement) {
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : env) merged[key] = value;
    std::vector<std::string> envText;
    for (const auto& [key, value] : merged) envText.push_back(key + "=" + value);

    std::vector<std::string> argText = launcher;
    argText.push_back(helperPath());
    argText.insert(argText.end(), args.begin(), args.end());

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        // The user first: the thread limit counts that user's threads. A confinement that cannot be
        // made ends the child before it runs anything.
        if (confinement.user && (setgroups(0, nullptr) != 0 || setgid(*confinement.user) != 0 ||
                                 setuid(*confinement.user) != 0)) {
            _exit(126);
        }
        for (const auto& [resource, value] : confinement.limits) {
            const rlimit limit{value, value};
            if (setrlimit(resource, &limit) != 0) _exit(126);
        }
        std::vector<char*> argv;
        for (auto& a : argText) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : envText) envp.push_back(e.data());
        envp.push_back(nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
    fcntl(err_, F_SETFL, fcntl(err_, F_GETFL) | O_NONBLOCK);
}

HelperProcess::~HelperProcess() {
    if (!status_) {
        kill(pid_, SIGKILL);
        waitExit(10.0);
    }
    if (in_ >= 0) close(in_);
    close(out_);
    close(err_);
}

void HelperProcess::write(const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t r = ::write(in_, bytes.data() + written, bytes.size() - written);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;  // the helper has gone; the test sees that through its output
        }
        written += static_cast<std::size_t>(r);
    }
}

void HelperProcess::sendLine(const Json& object) {
    const std::string line = object.dump();
    if (transcript_) transcript_(line, true);
    write(line + "\n");
}

void HelperProcess::closeInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

void HelperProcess::signal(int number) {
    kill(pid_, number);
}

bool HelperProcess::fill(int fd, std::string& buffer, double timeout) {
    pollfd descriptor{fd, POLLIN, 0};
    const int ready = poll(&descriptor, 1, static_cast<int>(timeout * 1000));
    if (ready <= 0) return false;
    char chunk[65536];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
        buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    if (n == 0 && fd == out_) outEOF_ = true;
    return false;
}

std::optional<std::string> HelperProcess::readLine(double timeout) {
    const double deadline = now() + timeout;
    for (;;) {
        const auto newline = outBuffer_.find('\n');
        if (newline != std::string::npos) {
            std::string line = outBuffer_.substr(0, newline);
            outBuffer_.erase(0, newline + 1);
            if (transcript_) transcript_(line, false);
            return line;
        }
        const double left = deadline - now();
        if (left <= 0 || outEOF_) return std::nullopt;
        fill(out_, outBuffer_, left);
        fill(err_, errBuffer_, 0);
    }
}

std::optional<Json> HelperProcess::readJson(double timeout) {
    auto line = readLine(timeout);
    if (!line) return std::nullopt;
    return Json::parse(*line);
}

std::optional<Json> HelperProcess::readUntil(const std::function<bool(const Json&)>& match, double timeout) {
    const double deadline = now() + timeout;
    for (;;) {
        const double left = deadline - now();
        if (left <= 0) return std::nullopt;
        auto value = readJson(left);
        if (!value) return std::nullopt;
        if (match(*value)) return value;
        skipped_.push_back(*value);
    }
}

std::optional<Json> HelperProcess::readEvent(const std::string& name, double timeout) {
    return readUntil([&](const Json& j) { return j.contains("event") && j["event"] == name; }, timeout);
}

std::string HelperProcess::send(const std::string& action, const Json& fields) {
    Json object = fields;
    const std::string id = freshUuid();
    object["requestId"] = id;
    object["action"] = action;
    sendLine(object);
    return id;
}

std::optional<Json> HelperProcess::request(const std::string& action, const Json& fields, double timeout) {
    const std::string id = send(action, fields);
    return readUntil([&](const Json& j) { return j.contains("requestId") && j["requestId"] == id; }, timeout);
}

Json HelperProcess::result(const std::string& action, const Json& fields, double timeout) {
    const auto reply = request(action, fields, timeout);
    if (!reply) throw std::runtime_error(action + ": no reply");
    if (!reply->value("ok", false)) throw std::runtime_error(action + ": " + reply->dump());
    return (*reply)["result"];
}

Json HelperProcess::waitStatus(const std::function<bool(const Json&)>& done, double timeout) {
    const double deadline = now() + timeout;
    for (;;) {
        Json status = result("status");
        if (done(status)) return status;
        if (now() >= deadline) throw std::runtime_error("status: still " + status.dump());
        usleep(50000);
    }
}

std::optional<int> HelperProcess::waitExit(double timeout) {
    if (status_) return status_;
    const double deadline = now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (now() >= deadline) return std::nullopt;
        fill(err_, errBuffer_, 0);
        usleep(5000);
    }
}

std::string HelperProcess::errorText() {
    while (fill(err_, errBuffer_, 0.05)) {
    }
    return errBuffer_;
}

RunResult runHelper(const std::vector<std::string>& args, const std::string& input, double timeout,
                    const std::map<std::string, std::string>& env) {
    HelperProcess process(args, env);
    process.write(input);
    process.closeInput();
    RunResult result;
    const double deadline = now() + timeout;
    for (;;) {
        auto line = process.readLine(0.2);
        if (line) {
            result.out += *line + "\n";
            continue;
        }
        if (auto status = process.waitExit(0)) {
            while (auto rest = process.readLine(0.2)) result.out += *rest + "\n";
            result.status = *status;
            break;
        }
        if (now() >= deadline) break;
    }
    result.err = process.errorText();
    return result;
}

std::string freshUuid() {
    return qv::randomUuid();
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qvtest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace qvtest
