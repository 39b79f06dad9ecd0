#include "TestSupport.h"

#include "base/CaptureError.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace qvtest {

ScopedTmpdir::ScopedTmpdir() {
    if (const char* previous = std::getenv("TMPDIR")) saved_ = previous;
    set(scratch_.path());
}

ScopedTmpdir::~ScopedTmpdir() {
    if (saved_) {
        ::setenv("TMPDIR", saved_->c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

void ScopedTmpdir::set(const std::string& value) const {
    ::setenv("TMPDIR", value.c_str(), 1);
}

std::string thrown(const std::function<void()>& body) {
    try {
        body();
    } catch (const qv::CaptureError& error) {
        return error.code() + " / " + error.message();
    }
    return "none";
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace qvtest
