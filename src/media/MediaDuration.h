#pragma once

namespace qv {

// The duration in seconds that a media container at `fd` declares (NaN when it declares none).
// Reads with positioned reads, so the descriptor's offset is left alone; the caller keeps `fd`.
// Throws PlatformError("FFmpeg", code) when the container cannot be read.
double containerDurationSeconds(int fd);

}  // namespace qv
