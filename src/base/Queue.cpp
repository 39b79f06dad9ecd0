#include "base/Queue.h"

#include "base/FaultInjection.h"
#include "base/Runtime.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <future>

namespace qv {

namespace {

thread_local Queue* currentQueue = nullptr;

std::string threadName(const std::string& label) {
    // Linux keeps 15 bytes of a thread name; the tail of a dotted label is its distinctive part.
    const auto dot = label.find_last_of('.');
    std::string name = dot == std::string::npos ? label : "qv." + label.substr(dot + 1);
    return name.substr(0, 15);
}

}  // namespace

struct Queue::Context {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard{asio::make_work_guard(io)};
    // Asio makes its reactor's descriptors (epoll, timerfd, eventfd) with the first timer of an
    // io_context. Made here, with the queue, so that no later timer needs a descriptor and none
    // can fail for want of one halfway through a transition.
    asio::steady_timer reactor{io};
};

Queue::Queue(std::string label) : label_(std::move(label)), context_(std::make_unique<Context>()) {
    FaultInjection::acquire(FaultInjection::Kind::thread);
    thread_ = std::thread([this] {
        currentQueue = this;
        pthread_setname_np(pthread_self(), threadName(label_).c_str());
        // The queue keeps serving once the handler has had its say: the handler ends the process
        // on its own schedule, and other work (a fatal line, a forced exit) may still need it.
        for (;;) {
            try {
                context_->io.run();
                return;
            } catch (...) {
                uncaughtTask();
            }
        }
    });
}

Queue::~Queue() {
    context_->guard.reset();
    context_->io.stop();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void Queue::async(std::function<void()> work) {
    asio::post(context_->io, std::move(work));
}

void Queue::sync(const std::function<void()>& work) {
    assertNotOnQueue(*this);
    std::promise<void> done;
    auto future = done.get_future();
    asio::post(context_->io, [&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    future.get();
}

void Queue::after(double seconds, std::function<void()> work) {
    auto timer = std::make_shared<asio::steady_timer>(context_->io);
    timer->expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds < 0 ? 0 : seconds)));
    timer->async_wait([timer, work = std::move(work)](const std::error_code& error) {
        if (!error) work();
    });
}

asio::io_context& Queue::context() {
    return context_->io;
}

bool Queue::isCurrent() const {
    return currentQueue == this;
}

Queue* Queue::current() {
    return currentQueue;
}

void assertOnQueue(const Queue& queue) {
    if (!queue.isCurrent()) std::abort();
}

void assertNotOnQueue(const Queue& queue) {
    if (queue.isCurrent()) std::abort();
}

}  // namespace qv
