#pragma once

namespace qv {

// The "--stdio" mode: prepares the process, starts the engine and the request reader, and parks
// the calling (main) thread for good.
[[noreturn]] void runProtocolMode();

}  // namespace qv
