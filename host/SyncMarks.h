#pragma once

#include <string>
#include <vector>

namespace qvtest {

// What a recording of simulated players with sync marks holds, read by decoding its file: when each
// white frame is shown and each tone burst begins, in seconds on the file's timeline.
struct SyncMarks {
    std::vector<double> whiteFrames;
    std::vector<double> bursts;
    // The longest stretch of silence between the first and the last sound, in seconds: the steady
    // tone never falls silent for more than a few samples.
    double longestSilence = 0;
    double audioStart = 0;
    double audioEnd = 0;
    bool readable = false;

    // For each white frame, the start of the burst nearest to it less the frame's time (the audio's
    // lead over the picture is negative); no entry for a frame without a burst within `within` s.
    std::vector<double> offsets(double within = 0.5) const;
};

SyncMarks readSyncMarks(const std::string& path);

}  // namespace qvtest
