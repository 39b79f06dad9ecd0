// The request intake: bytes from the host cut into bounded lines and parsed, with the reads split
// at any point. Every outcome is checked against a plain model of the rules: lines of at most 8192
// bytes, each one JSON object, handed over whole and in order.
//
// Input: the first byte picks the read size (1 to 256 bytes, or 4096 when 0); the rest is standard
// input.

#include "base/Json.h"
#include "base/JsonText.h"
#include "base/Limits.h"
#include "base/Queue.h"
#include "protocol/Output.h"
#include "protocol/RequestReader.h"
#include "protocol/RequestSink.h"

#include <fcntl.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

class RecordingSink : public qv::RequestSink {
public:
    void request(const qv::Json& request) override {
        // The reply path serialises what a request carries; it must take any parsed object.
        (void)qv::jsonLine(request);
        requests.push_back(request);
    }
    void inputEnded() override { std::abort(); }
    void inputFailed(const std::string&) override { std::abort(); }
    const std::string& sessionId() const override { return id_; }

    std::vector<qv::Json> requests;

private:
    std::string id_ = "00000000-0000-4000-8000-000000000000";
};

struct Expected {
    std::vector<qv::Json> requests;
    qv::RequestReader::Intake outcome = qv::RequestReader::Intake::reading;
};

Expected model(const char* bytes, std::size_t size) {
    Expected expected;
    std::size_t start = 0;
    for (;;) {
        const void* found = std::memchr(bytes + start, '\n', size - start);
        const std::size_t end = found ? static_cast<const char*>(found) - bytes : size;
        if (end - start > qv::protocolLimits.longestRequestLine) {
            expected.outcome = qv::RequestReader::Intake::tooLarge;
            return expected;
        }
        if (!found) return expected;
        qv::Json request = qv::Json::parse(bytes + start, bytes + end, nullptr, false);
        if (!request.is_object()) {
            expected.outcome = qv::RequestReader::Intake::invalid;
            return expected;
        }
        expected.requests.push_back(std::move(request));
        start = end + 1;
    }
}

qv::Queue& sinkQueue() {
    static auto* queue = new qv::Queue("quorvelle.fuzz.intake");
    return *queue;
}

std::shared_ptr<qv::Output> quietOutput() {
    static const auto output = std::make_shared<qv::Output>(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    return output;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = data[0] == 0 ? qv::RequestReader::readSize : data[0];
    const auto* input = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    auto sink = std::make_shared<RecordingSink>();
    qv::RequestReader reader(sink, quietOutput(), sinkQueue(), -1);
    auto outcome = qv::RequestReader::Intake::reading;
    for (std::size_t at = 0; at < length && outcome == qv::RequestReader::Intake::reading; at += step) {
        outcome = reader.take(input + at, std::min(step, length - at));
    }

    const Expected expected = model(input, length);
    if (outcome != expected.outcome || sink->requests != expected.requests) std::abort();
    return 0;
}
