#pragma once

namespace qv {

// FFmpeg writes its diagnostics to standard error, which carries nothing but the helper's own fixed
// lines. Call before any FFmpeg call; the first call silences it for the whole process.
void quietMediaLibraries();

}  // namespace qv
