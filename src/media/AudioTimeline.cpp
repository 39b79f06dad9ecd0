#include "media/AudioTimeline.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace qv {

namespace {

// A jump in the timestamps smaller than this is jitter or drift, which the stretch takes care of;
// the smallest real gap is a lost block of about 10 ms.
constexpr double jumpSeconds = 0.006;
// Distances remembered for the median: about a third of a second of 10 ms blocks.
constexpr std::size_t remembered = 32;
// The control closes a distance with a time constant of about two seconds, critically damped:
// gentle enough that the pitch moves by well under a cent, quick enough that a microphone 1,000 ppm
// off never strays by more than a millisecond or so.
constexpr double omega = 0.5;
constexpr double proportional = 2 * omega;
constexpr double integralGain = omega * omega;

// The quartile `q` (1 to 3) of `values`. Timestamps taken when a block is handed over are late now
// and then, rarely early, so the lower values are the truer ones; a quarter of them may still be
// outliers.
double quartile(std::vector<double> values, std::size_t q = 1) {
    const auto at = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) * q / 4);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

}  // namespace

AudioTimeline::AudioTimeline(int sampleRate) : rate_(sampleRate), jump_(jumpSeconds * sampleRate) {}

void AudioTimeline::push(double time, std::int64_t count) {
    if (count > 0) held_.push_back({time, count});
}

bool AudioTimeline::ready(bool draining) const {
    return held_.size() > lookahead || (draining && !held_.empty());
}

double AudioTimeline::smoothed() const {
    return recent_.empty() ? 0 : quartile({recent_.begin(), recent_.end()});
}

void AudioTimeline::remember(double distance) {
    recent_.push_back(distance);
    if (recent_.size() > remembered) recent_.pop_front();
}

AudioTimeline::Placement AudioTimeline::place(double laid) {
    Placement placement;
    if (held_.empty()) return placement;
    // What each held block's timestamp says about the first one's distance, were all contiguous.
    std::vector<double> says;
    double end = laid;
    for (const Block& block : held_) {
        says.push_back(block.time - end);
        end += static_cast<double>(block.count);
        if (says.size() > lookahead) break;
    }
    const Block block = held_.front();
    held_.pop_front();
    const bool first = recent_.empty() && cutLeft_ == 0;
    const double before = smoothed();
    // A jump must stand out from the jitter seen lately, so that scattered late stamps never all
    // look like a gap; a smaller one is left to the stretch.
    const double jump = recent_.size() < 4
                            ? jump_
                            : std::max(jump_, 2 * (quartile({recent_.begin(), recent_.end()}, 3) - before));
    const auto [low, high] = std::minmax_element(says.begin(), says.end());
    double distance = says.front();
    double moved = 0;
    if (first) {
        // Nothing laid yet: the block goes where its neighbours agree it begins, and what they say
        // from there on is the jitter to start from (a history of this block alone, stamped late,
        // would make the next ones look early).
        moved = quartile(says);
        for (std::size_t i = 1; i < says.size(); ++i) remember(says[i] - moved);
    } else if (cutLeft_ == 0 && says.size() > 1 && (*low - before > jump || *high - before < -jump)) {
        // A jump that this block starts and every block after it confirms: a gap, or an overlap.
        // Its size compares middles, which jitter moves alike.
        moved = quartile(says, 2) - quartile({recent_.begin(), recent_.end()}, 2);
    }
    const auto whole = static_cast<std::int64_t>(std::llround(moved));
    if (whole > 0) placement.silence = whole;
    cutLeft_ += std::max<std::int64_t>(-whole, 0);
    placement.cut = std::min(cutLeft_, block.count);
    cutLeft_ -= placement.cut;
    distance += static_cast<double>(placement.cut - placement.silence);
    if (placement.cut == block.count) return placement;
    remember(distance);
    distance_ = smoothed();

    const double seconds = distance_ / rate_;
    const double span = static_cast<double>(block.count - placement.cut) / rate_;
    integral_ = std::clamp(integral_ + integralGain * seconds * span, -largestStretch, largestStretch);
    placement.stretch = std::clamp(proportional * seconds + integral_, -largestStretch, largestStretch);
    return placement;
}

}  // namespace qv
