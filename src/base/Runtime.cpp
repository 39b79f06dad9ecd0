#include "base/Runtime.h"

#include "base/FaultInjection.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace qv {

Queue& controlQueue() {
    static Queue* queue = new Queue("quorvelle.native.control");
    return *queue;
}

Queue& nativeQueue() {
    static Queue* queue = new Queue("quorvelle.native.session");
    return *queue;
}

static Queue& globalDefaultQueue() {
    static Queue* queue = new Queue("quorvelle.global.default");
    return *queue;
}

void startRuntime() {
    controlQueue();
    nativeQueue();
    globalDefaultQueue();
}

void dispatchGlobal(std::function<void()> work) {
    FaultInjection::acquire(FaultInjection::Kind::thread);
    std::thread([work = std::move(work)] {
        try {
            work();
        } catch (...) {
            uncaughtTask();
        }
    }).detach();
}

namespace {
std::mutex handlerLock;
std::function<void()> uncaughtHandler;
}  // namespace

void setUncaughtTaskHandler(std::function<void()> handler) {
    std::lock_guard lock(handlerLock);
    uncaughtHandler = std::move(handler);
}

void uncaughtTask() {
    std::function<void()> handler;
    {
        std::lock_guard lock(handlerLock);
        handler = uncaughtHandler;
    }
    if (!handler) exitProcess(2);
    try {
        handler();
    } catch (...) {
        // Not even the fatal line could be sent: end now, still without a word on standard error.
        exitProcess(2);
    }
}

void globalAfter(double seconds, std::function<void()> work) {
    globalDefaultQueue().after(seconds, std::move(work));
}

namespace {
std::atomic<void (*)(int)> exitHook{nullptr};
}  // namespace

void setExitHook(void (*hook)(int status)) {
    exitHook.store(hook);
}

void exitProcess(int status) {
    if (const auto hook = exitHook.load()) hook(status);
    _exit(status);
}

void parkForever() {
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock lock(mutex);
    for (;;) never.wait(lock);
}

bool writeAll(int fd, std::string_view text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t result = ::write(fd, text.data() + written, text.size() - written);
        if (result <= 0) {
            if (result < 0 && errno == EINTR) continue;
            if (result == 0) errno = EIO;
            return false;
        }
        written += static_cast<std::size_t>(result);
    }
    return true;
}

}  // namespace qv
