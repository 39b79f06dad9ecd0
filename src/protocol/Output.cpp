#include "protocol/Output.h"

#include "base/Clock.h"
#include "base/JsonText.h"
#include "base/Runtime.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace qv {

Output::Output(int fd, const Limits& limits) : fd_(fd), limits_(limits), queue_("quorvelle.native.stdout") {}

Output::~Output() = default;

void Output::setOnFailure(std::function<void()> handler) {
    std::lock_guard guard(lock_);
    onFailure_ = std::move(handler);
}

void Output::fail() {
    std::function<void()> handler;
    {
        std::lock_guard guard(lock_);
        handler = onFailure_;
    }
    if (handler) handler();
}

int Output::pendingLines() {
    std::lock_guard guard(lock_);
    return pendingLines_;
}

void Output::send(const Json& object) {
    std::optional<std::string> text;
    try {
        text = jsonLine(object);
    } catch (...) {
        text.reset();
    }
    if (!text || text->size() > limits_.longestOutputLine) {
        fail();
        return;
    }
    text->push_back('\n');
    const std::size_t n = text->size();
    {
        std::unique_lock guard(lock_);
        if (pendingLines_ > limits_.mostPendingLines - 1 || pendingBytes_ + n > limits_.mostPendingBytes) {
            guard.unlock();
            fail();
            return;
        }
        pendingLines_ += 1;
        pendingBytes_ += n;
    }
    queue_.async([this, line = std::move(*text)] { write(line); });
}

void Output::write(const std::string& line) {
    const double deadline = mono() + limits_.lineDeadlineSeconds;
    std::size_t written = 0;
    bool failed = false;
    while (written < line.size()) {
        if (mono() >= deadline) {
            failed = true;
            break;
        }
        pollfd descriptor{fd_, POLLOUT, 0};
        const int ready = ::poll(&descriptor, 1, pollMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        if (ready == 0) continue;
        const ssize_t result = ::write(fd_, line.data() + written, line.size() - written);
        if (result > 0) {
            written += static_cast<std::size_t>(result);
        } else if (result == 0) {
            failed = true;
            break;
        } else if (errno != EINTR && errno != EAGAIN) {
            failed = true;
            break;
        }
    }
    {
        std::lock_guard guard(lock_);
        pendingLines_ -= 1;
        pendingBytes_ -= line.size();
    }
    if (failed) fail();
}

void Output::exitAfterDraining(int code) {
    queue_.async([code] { exitProcess(code); });
}

}  // namespace qv
