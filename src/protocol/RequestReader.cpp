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
                             int fd, const Limits& limits)
    : sink_(std::move(sink)), output_(std::move(output)), queue_(queue), fd_(fd), limits_(limits) {}

void RequestReader::run() {
    char chunk[readSize] = {};
    std::string line;
    line.reserve(limits_.longestRequestLine + 1);
    for (;;) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // An unterminated last line is dropped unparsed.
            endOfInput();
            return;
        }
        const char* next = chunk;
        const char* const end = chunk + n;
        while (next < end) {
            const auto* newline = static_cast<const char*>(std::memchr(next, '\n', end - next));
            const char* stop = newline ? newline : end;
            // The bound is checked before the newline is looked at, byte for byte.
            if (line.size() + static_cast<std::size_t>(stop - next) > limits_.longestRequestLine) {
                endWith("REQUEST_TOO_LARGE");
                return;
            }
            line.append(next, stop);
            if (!newline) break;
            next = newline + 1;
            const Line outcome = handOff(line.data(), line.size());
            line.clear();
            if (outcome == Line::invalid) {
                endWith("INVALID_JSON");
                return;
            }
            if (outcome == Line::stalled) {
                stalled();
                return;
            }
        }
    }
}

RequestReader::Line RequestReader::handOff(const char* text, std::size_t size) {
    Json request = Json::parse(text, text + size, nullptr, false);
    if (!request.is_object()) return Line::invalid;
    auto done = std::make_shared<Semaphore>();
    queue_.async([sink = sink_, request = std::move(request), done] {
        sink->request(request);
        done->signal();
    });
    return done->wait(limits_.handOffSeconds) ? Line::handed : Line::stalled;
}

void RequestReader::endOfInput() {
    queue_.async([sink = sink_] { sink->inputEnded(); });
    globalAfter(limits_.closeExitSeconds, [] { exitProcess(2); });
}

void RequestReader::endWith(const char* code) {
    queue_.async([sink = sink_, code] { sink->inputFailed(code); });
    globalAfter(limits_.closeExitSeconds, [] { exitProcess(2); });
}

void RequestReader::stalled() {
    // The sink's queue is stuck, so the fatal line goes out from here and the sink is not told.
    output_->send(fatalJSON(sink_->sessionId(), CaptureError("CONTROL_STALLED",
                                                             "Native control queue did not accept a bounded "
                                                             "request; cleanup is unconfirmed")
                                                    .json()));
    globalAfter(limits_.stalledExitSeconds, [] { exitProcess(2); });
}

}  // namespace qv
