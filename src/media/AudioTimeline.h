#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace qv {

// Decides where captured audio goes on a file's timeline. Blocks are laid end to end and follow
// their timestamps: the distance between where a block's first sample would land and where its
// timestamp puts it, smoothed against jitter, is closed by resampling very gently (a stretch of at
// most half a percent, through a proportional-integral control that also learns the device clock's
// steady error). Only a jump that stands out from the recent jitter and that every following block
// it sees confirms (lost blocks, a stalled device) is filled with silence, and only such a jump
// backwards is cut; late or early timestamps change nothing. The first block is placed where its
// neighbours agree it begins.
//
// Times and lengths are in samples from the file's time zero. Holds a few blocks back to look
// ahead; the caller keeps their samples meanwhile.
class AudioTimeline {
public:
    // Blocks looked at after the one being placed: about 160 ms of 10 ms blocks, so that a capture
    // thread held up for a while, whose late stamps all say "later", is not taken for a gap.
    static constexpr std::size_t lookahead = 16;
    static constexpr double largestStretch = 0.005;

    struct Placement {
        std::int64_t silence = 0;  // lay this many samples of silence before the block
        std::int64_t cut = 0;      // drop this many samples from the block's start
        double stretch = 0;        // from the block on, lay (1 + stretch) samples for each one captured
    };

    explicit AudioTimeline(int sampleRate);

    // A captured block of `count` samples whose first sample belongs at `time`.
    void push(double time, std::int64_t count);
    // Whether the oldest held block can be placed now: enough blocks follow it, or `draining`
    // (no more will come).
    bool ready(bool draining) const;
    // Places the oldest held block and lets go of it. `laid` is where its first sample lands if
    // nothing is inserted or cut: the end of what was laid so far, including what the resampler
    // still holds. Before the first block, the track is empty: it starts at time zero, so the
    // first placement lays silence from zero up to the block (or cuts what precedes zero).
    Placement place(double laid);

private:
    struct Block {
        double time;
        std::int64_t count;
    };

    double smoothed() const;
    void remember(double distance);

    const double rate_;
    const double jump_;
    std::deque<Block> held_;
    // The latest distances of placed blocks, after their own silence or cut.
    std::deque<double> recent_;
    // Their smoothed value, in samples: positive when blocks land earlier than their timestamps.
    double distance_ = 0;
    double integral_ = 0;
    std::int64_t cutLeft_ = 0;
};

}  // namespace qv
