#include "platform/Runtime.h"

#include <unistd.h>

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

void dispatchGlobal(std::function<void()> work) { std::thread(std::move(work)).detach(); }

void globalAfter(double seconds, std::function<void()> work) {
    globalDefaultQueue().after(seconds, std::move(work));
}

void exitProcess(int status) { _exit(status); }

}  // namespace qv
