#pragma once

#include "base/Queue.h"

#include <memory>
#include <string>

namespace qv {

class Output;
class RequestSink;

// The only reader of the host's requests: cuts standard input into bounded lines, parses each as
// one JSON object and hands it to the sink on its queue, one at a time and with a bounded wait.
// Any irregularity of the transport ends the session; run() returns only through one of them.
class RequestReader {
public:
    static constexpr std::size_t readSize = 4096;
    static constexpr std::size_t longestLine = 8192;
    static constexpr double handOffSeconds = 10.0;
    static constexpr double endingExitSeconds = 17.0;
    static constexpr double stalledExitSeconds = 0.1;

    // `fd` is standard input in the helper; tests give a pipe.
    RequestReader(std::shared_ptr<RequestSink> sink, std::shared_ptr<Output> output, Queue& queue,
                  int fd = 0);

    // Reads until end of input, an invalid or oversized line, or a stalled hand-off.
    void run();

    enum class Intake { reading, tooLarge, invalid, stalled };
    // Cuts bytes read into lines, continuing the line the previous call left open, and hands each
    // whole one off. Anything but `reading` ends the session, which run() then does; the fuzz
    // harness feeds bytes here without standard input or an ending.
    Intake take(const char* bytes, std::size_t size);

private:
    Intake handOff(const char* text, std::size_t size);
    void endOfInput();
    void endWith(const char* code);
    void stalled();

    std::shared_ptr<RequestSink> sink_;
    std::shared_ptr<Output> output_;
    Queue& queue_;
    int fd_;
    std::string line_;
};

}  // namespace qv
