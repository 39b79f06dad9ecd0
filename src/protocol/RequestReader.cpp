#include "protocol/RequestReader.h"

#include "base/CaptureError.h"
#include "base/Runtime.h"
#include "base/Semaphore.h"
#include "protocol/Output.h"
#include "protocol/RequestSink.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace qv {

RequestReader::RequestReader(std::shared_ptr<RequestSink> sink, std::shared_ptr<Output> output, Queue& queue,
                             int fd)
    : sink_(std::move(sink)), output_(std::move(output)), queue_(queue), fd_(fd) {}

void RequestReader::run() {
    char chunk[readSize] = {};
    line_.reserve(longestLine + 1);
    for (;;) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // An unterminated last line is dropped unparsed.
            endOfInput();
            return;
        }
        switch (take(chunk, static_cast<std::size_t>(n))) {
            case Intake::reading:
                break;
            case Intake::tooLarge:
                endWith("REQUEST_TOO_LARGE");
                return;
            case Intake::invalid:
                endWith("INVALID_JSON");
                return;
            case Intake::stalled:
                stalled();
                return;
        }
    }
}

RequestReader::Intake RequestReader::take(const char* bytes, std::size_t size) {
    const char* next = bytes;
    const char* const end = bytes + size;
    while (next < end) {
        const auto* newline = static_cast<const char*>(std::memchr(next, '\n', end - next));
        const char* stop = newline ? newline : end;
        // The bound is checked before the newline is looked at, byte for byte.
        if (line_.size() + static_cast<std::size_t>(stop - next) > longestLine) return Intake::tooLarge;
        line_.append(next, stop);
        if (!newline) break;
        next = newline + 1;
        const Intake outcome = handOff(line_.data(), line_.size());
        line_.clear();
        if (outcome != Intake::reading) return outcome;
    }
    return Intake::reading;
}

RequestReader::Intake RequestReader::handOff(const char* text, std::size_t size) {
    Json request = Json::parse(text, text + size, nullptr, false);
    if (!request.is_object()) return Intake::invalid;
    auto done = std::make_shared<Semaphore>();
    queue_.async([sink = sink_, request = std::move(request), done] {
        sink->request(request);
        done->signal();
    });
    return done->wait(handOffSeconds) ? Intake::reading : Intake::stalled;
}

void RequestReader::endOfInput() {
    queue_.async([sink = sink_] { sink->inputEnded(); });
    globalAfter(endingExitSeconds, [] { exitProcess(2); });
}

void RequestReader::endWith(const char* code) {
    queue_.async([sink = sink_, code] { sink->inputFailed(code); });
    globalAfter(endingExitSeconds, [] { exitProcess(2); });
}

void RequestReader::stalled() {
    // The sink's queue is stuck, so the fatal line goes out from here and the sink is not told.
    output_->send(fatalJSON(sink_->sessionId(), CaptureError("CONTROL_STALLED",
                                                             "Native control queue did not accept a bounded "
                                                             "request; cleanup is unconfirmed")
                                                    .json()));
    globalAfter(stalledExitSeconds, [] { exitProcess(2); });
}

}  // namespace qv
