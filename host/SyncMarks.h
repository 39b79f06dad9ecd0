#pragma once

#include <optional>
#include <string>
#include <utility>
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
    // Where each silence of more than a millisecond between them begins: sound lost on the way.
    std::vector<double> silences;
    // How long each of those lasts, in seconds.
    std::vector<double> silenceLengths;
    // Where the sound begins (the first sample as loud as the tone) and ends. A burst is counted only
    // from a burst's length after the beginning: one under way then was cut by the file's start.
    double audioStart = 0;
    double audioEnd = 0;
    bool readable = false;

    // The instants of the marks on the file's timeline, `period` seconds apart: the white frames
    // fall on them, except one the camera delivered late because its thread fell behind, so they are
    // the white frames' common grid (the median of each frame's time less its whole periods).
    // For each burst, its start less the nearest mark's instant (negative: the sound comes early).
    std::vector<double> offsets(double period) const;
    // White frames that came a frame interval or more after their mark.
    int lateWhiteFrames(double period, double frameInterval) const;
    // The largest offset's size among the bursts before `split` seconds into the file, and among
    // those after.
    std::pair<double, double> largestOffsets(double period, double split) const;
    // How many silences last a whole number of `block`s (within `tolerance`), as a sound block lost
    // on the way and laid as silence of its length does; none when any other silence is there.
    std::optional<int> lostBlocks(double block, double tolerance) const;

private:
    double grid(double period) const;
};

SyncMarks readSyncMarks(const std::string& path);

}  // namespace qvtest
