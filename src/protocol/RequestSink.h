#pragma once

#include "base/Json.h"

#include <string>

namespace qv {

// Where the request reader delivers what it reads. The reader calls these on the sink's queue,
// one at a time; the engine is the sink in the helper, a recorder in tests.
class RequestSink {
public:
    virtual ~RequestSink() = default;

    // One parsed request line (a JSON object).
    virtual void request(const Json& request) = 0;
    // Standard input ended in order: close as the host asked.
    virtual void inputEnded() = 0;
    // The transport broke (an oversized or unparsable line): end with `code`.
    virtual void inputFailed(const std::string& code) = 0;
    // Named in the fatal line the reader writes itself when the sink's queue is stuck. Any thread.
    virtual const std::string& sessionId() const = 0;
};

}  // namespace qv
