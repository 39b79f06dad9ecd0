#pragma once

#include "TestSupport.h"
#include "files/OwnedFiles.h"

#include <memory>
#include <string>

namespace qvtest {

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
