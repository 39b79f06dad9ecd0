#pragma once

namespace qv {

// Readies alsa-lib for use by the helper: its own error messages would go to standard error,
// which carries nothing but the helper's few fixed lines. Call before any other ALSA call; cheap
// after the first time.
void prepareAlsa();

}  // namespace qv
