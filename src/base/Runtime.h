#pragma once

#include "base/Queue.h"

#include <cstdint>
#include <functional>
#include <string_view>

namespace qv {

// The two process-wide serial queues. Created on first use and never destroyed, so that an exit
// from any thread cannot race their destruction.
Queue& controlQueue();
Queue& nativeQueue();

// Makes the process-wide queues now, at start-up: the forced exits run on one of them, so they
// must not need a thread when the time comes. Throws when a thread cannot be made.
void startRuntime();

// Runs work on a thread of its own (a global concurrent queue); for long blocking loops.
void dispatchGlobal(std::function<void()> work);
// Runs work on the global default queue after `seconds`. That queue only ever runs short items
// such as forced exits, so a stuck serial queue cannot hold them up.
void globalAfter(double seconds, std::function<void()> work);

// Called inside the catch block when work on a queue or a global thread lets an exception escape.
// The owner's state is unknown from then on, so the handler must end the process; until one is
// set, the process exits with status 2 at once. Either way nothing reaches standard error, which
// an escaped exception would otherwise fill with the runtime's own message.
void setUncaughtTaskHandler(std::function<void()> handler);
void uncaughtTask();

// Ends the process at once from any thread. All output goes straight to its descriptor, so
// nothing is left in a buffer, and no static destructor can race a running thread.
[[noreturn]] void exitProcess(int status);
// For harnesses that run many sessions in one process (the fuzzers): `hook` runs in place of the
// exit and must throw, so the work that would end the process stops there and its queue reports
// an uncaught task. Set before any session starts; never set in the helper.
void setExitHook(void (*hook)(int status));
// Parks the calling thread (the main thread, once the queues run everything) until the process
// ends through exitProcess.
[[noreturn]] void parkForever();

// Writes all of `text` to a blocking descriptor: the test modes' result lines, the fixed
// standard-error lines, owned files. False (with errno set) when the descriptor fails; the lines
// to standard output and error ignore that, since there is nowhere left to report it.
bool writeAll(int fd, std::string_view text);

}  // namespace qv
