#include "TestSupport.h"

#include "base/CaptureError.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace qvtest {

std::string thrown(const std::function<void()>& body) {
    try {
        body();
    } catch (const qv::CaptureError& error) {
        return error.code() + " / " + error.message();
    }
    return "none";
}

::testing::AssertionResult includes(const Json& actual, const Json& expected) {
    for (const auto& [key, value] : expected.items()) {
        if (!actual.contains(key) || actual[key] != value)
            return ::testing::AssertionFailure() << key << " should be " << value << " in " << actual;
    }
    return ::testing::AssertionSuccess();
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool waitUntil(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace qvtest
