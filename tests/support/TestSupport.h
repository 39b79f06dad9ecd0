#pragma once

#include "HelperProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

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
std::string thrown(const std::function<void()>& body);

// Whether `actual` holds every member of `expected` with its value; the failure shows both.
::testing::AssertionResult includes(const Json& actual, const Json& expected);

// The whole content of a file; empty when it cannot be read.
std::string fileText(const std::string& path);

// Whether `done` holds within `seconds`, asking every few milliseconds.
bool waitUntil(const std::function<bool()>& done, double seconds = 10.0);

}  // namespace qvtest
