#pragma once

#include "HelperProcess.h"
#include "base/CaptureError.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qvtest {

// Points TMPDIR at a fresh scratch directory (or at set()'s value) for the object's life.
class ScopedTmpdir {
public:
    ScopedTmpdir() { set(scratch_.path()); }
    ~ScopedTmpdir() { saved_ ? set(*saved_) : void(::unsetenv("TMPDIR")); }
    ScopedTmpdir(const ScopedTmpdir&) = delete;
    ScopedTmpdir& operator=(const ScopedTmpdir&) = delete;
    const std::string& path() const { return scratch_.path(); }
    void set(const std::string& value) const { ::setenv("TMPDIR", value.c_str(), 1); }

private:
    TempDir scratch_;
    const std::optional<std::string> saved_ =
        std::getenv("TMPDIR") ? std::optional<std::string>(std::getenv("TMPDIR")) : std::nullopt;
};

// "CODE / message" of the CaptureError `body` throws; "none" when it returns.
inline std::string thrown(const std::function<void()>& body) {
    try {
        body();
    } catch (const qv::CaptureError& error) {
        return error.code() + " / " + error.message();
    }
    return "none";
}

// Whether `actual` holds every member of `expected` with its value; the failure shows both.
inline ::testing::AssertionResult includes(const Json& actual, const Json& expected) {
    for (const auto& [key, value] : expected.items()) {
        if (!actual.contains(key) || actual[key] != value)
            return ::testing::AssertionFailure() << key << " should be " << value << " in " << actual;
    }
    return ::testing::AssertionSuccess();
}

// Every line the helper writes until its standard output ends.
inline std::vector<Json> restOf(HelperProcess& process) {
    std::vector<Json> lines;
    while (auto line = process.readJson(20.0)) lines.push_back(*line);
    return lines;
}

// The whole content of a file; empty when it cannot be read.
inline std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether `done` holds within `seconds`, asking every few milliseconds.
inline bool waitUntil(const std::function<bool()>& done, double seconds = 10.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace qvtest
