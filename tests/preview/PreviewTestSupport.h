#pragma once

#include "HelperProcess.h"
#include "files/OwnedFiles.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace qvtest {

// Points TMPDIR at a scratch directory (removed with its contents) for the object's life.
class ScopedTmpdir {
public:
    ScopedTmpdir() {
        if (const char* previous = std::getenv("TMPDIR")) saved_ = previous;
        setenv("TMPDIR", temp_.path().c_str(), 1);
    }
    ~ScopedTmpdir() {
        if (saved_) {
            setenv("TMPDIR", saved_->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }
    ScopedTmpdir(const ScopedTmpdir&) = delete;
    ScopedTmpdir& operator=(const ScopedTmpdir&) = delete;

private:
    TempDir temp_;
    std::optional<std::string> saved_;
};

// An OwnedFiles whose private directory goes away with this object.
class ScratchFiles {
public:
    const std::shared_ptr<qv::OwnedFiles>& files() const { return files_; }
    const std::string& dir() const { return files_->url(); }

private:
    ScopedTmpdir tmpdir_;
    std::shared_ptr<qv::OwnedFiles> files_ = std::make_shared<qv::OwnedFiles>();
};

}  // namespace qvtest
