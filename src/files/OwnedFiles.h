#pragma once
// PLACEHOLDER until the private directory lands; never merged.
#include <sys/stat.h>
#include <cstdlib>
#include <string>
#include "platform/Uuid.h"
#include "protocol/CaptureError.h"
namespace qv {
class OwnedFiles {
public:
    OwnedFiles() {
        const char* t = std::getenv("TMPDIR");
        std::string parent = t ? t : "/tmp";
        url_ = parent + "/quorvelle-native-capture-" + randomUuid();
        if (mkdir(url_.c_str(), 0700) != 0) throw CaptureError("OUTPUT_DIRECTORY", "Temporary directory must be an existing absolute directory");
    }
    const std::string& url() const { return url_; }
private:
    std::string url_;
};
}  // namespace qv
