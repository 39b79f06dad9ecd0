#include "media/AudioTimeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

namespace {

using qv::AudioTimeline;

constexpr int rate = 48000;
constexpr std::int64_t block = 480;

// A microphone whose clock runs `ppm` fast, whose timestamps come up to `lateMs` late (a fixed
// pseudo-random pattern), of which every `lostEvery`-th block never arrives, laid by a resampler
// that obeys each placement exactly.
struct Microphone {
    double ppm = 0;
    double lateMs = 0;
    int lostEvery = 0;
    double stampShiftMs = 0;  // from block 1000 on, the stamps move by this much (a device restart)
    double startsAt = 0.25;   // seconds after time zero
    int stallEvery = 0;       // every so many blocks, a capture thread held up: 8 blocks stamped 8 ms late

    // Largest error of where a block's first sample landed against where it belongs, in ms, after
    // the first `settle` seconds; the silence and cut laid after the first block, in samples.
    double worstMs = 0;
    std::int64_t silence = 0;
    std::int64_t cut = 0;
    // The mean stretch of the last 20 s.
    double stretch = 0;
    int stretches = 0;

    Microphone& go(double seconds, double settle = 10) {
        AudioTimeline timeline(rate);
        const double perSecond = rate * (1 + ppm / 1e6);
        double laid = 0;
        std::uint32_t noise = 12345;
        std::vector<double> truth;  // where each held block belongs
        const auto lay = [&] {
            const double belongs = truth.front();
            truth.erase(truth.begin());
            const auto p = timeline.place(laid);
            const bool first = laid == 0;
            if (!first) {
                silence += p.silence;
                cut += p.cut;
            }
            laid += static_cast<double>(p.silence);
            // Where its first sample that is kept lands.
            if (belongs / rate > settle && p.cut < block) {
                worstMs =
                    std::max(worstMs, std::fabs(laid - belongs - static_cast<double>(p.cut)) / rate * 1000);
            }
            laid += static_cast<double>(block - p.cut) * (1 + p.stretch);
            if (belongs / rate > seconds - 20) {
                stretch += p.stretch;
                ++stretches;
            }
        };
        for (int k = 0; k < seconds * 100; ++k) {
            const double belongs = startsAt * rate + k * block * rate / perSecond;
            noise = noise * 1664525u + 1013904223u;
            double late = lateMs / 1000 * rate * (noise >> 8) / double(1 << 24);
            if (stallEvery > 0 && k % stallEvery < 8) late += 0.008 * rate;
            const double shift = k >= 1000 ? stampShiftMs / 1000 * rate : 0;
            if (lostEvery > 0 && k % lostEvery == lostEvery - 1) continue;
            timeline.push(belongs + late + shift, block);
            truth.push_back(belongs + shift);
            while (timeline.ready(false)) lay();
        }
        while (timeline.ready(true)) lay();
        stretch /= std::max(stretches, 1);
        return *this;
    }
};

TEST(AudioTimeline, FollowsTheTimestampsOfAClockOffByUpToThreeThousandPpmThroughJitter) {
    struct Case {
        double ppm;
        double lateMs;
        int stallEvery = 0;
    };
    for (const auto [ppm, lateMs, stallEvery] :
         {Case{0, 0}, Case{1000, 0}, Case{-1000, 0}, Case{1000, 8}, Case{-1000, 8}, Case{3000, 3},
          Case{-3000, 3}, Case{250, 15}, Case{1000, 2, 300}, Case{-1000, 2, 300}}) {
        const Microphone run = Microphone{.ppm = ppm, .lateMs = lateMs, .stallEvery = stallEvery}.go(60);
        const std::string what = std::to_string(ppm) + " ppm, up to " + std::to_string(lateMs) + " ms late" +
                                 (stallEvery > 0 ? ", held up now and then" : "");
        // Within a millisecond or so, plus the timestamps' typical lateness, which cannot be told apart.
        EXPECT_LT(run.worstMs, 1.5 + lateMs / 4) << what;
        EXPECT_EQ(run.silence, 0) << what;
        EXPECT_EQ(run.cut, 0) << what;
        // The stretch has learnt the clock's error.
        EXPECT_NEAR(run.stretch * 1e6, -ppm, 30) << what;
    }
}

TEST(AudioTimeline, FillsLostBlocksWithTheirLengthOfSilenceAndCutsOnlyARealOverlap) {
    struct Case {
        int lostEvery;
        double shiftMs;
        double silenceMs;
        double cutMs;
    };
    // Every 50th block lost (60 in 30 s); the stamps jump 40 ms back, or forward, once.
    for (const auto [lostEvery, shiftMs, silenceMs, cutMs] :
         {Case{50, 0, 600, 0}, Case{0, -40, 0, 40}, Case{0, 40, 40, 0}}) {
        Microphone run{1000, 2, lostEvery, shiftMs};
        run.go(30);
        const double within = 0.003 * rate + (lostEvery > 0 ? 60 * 0.0003 * rate : 0);
        EXPECT_NEAR(static_cast<double>(run.silence), silenceMs / 1000 * rate, within)
            << lostEvery << shiftMs;
        EXPECT_NEAR(static_cast<double>(run.cut), cutMs / 1000 * rate, within) << lostEvery << shiftMs;
        EXPECT_LT(run.worstMs, 3.0) << lostEvery << shiftMs;
    }
}

TEST(AudioTimeline, TheTrackStartsAtZeroAndALoneLateStampMovesNothing) {
    AudioTimeline timeline(rate);
    // Blocks from 12.5 ms on, the second stamped 30 ms late; the first waits for the lookahead.
    for (std::size_t k = 0; k <= AudioTimeline::lookahead; ++k) {
        EXPECT_FALSE(timeline.ready(false));
        timeline.push(600.0 + static_cast<double>(k * block) + (k == 1 ? 1440 : 0), block);
    }
    ASSERT_TRUE(timeline.ready(false));
    const auto first = timeline.place(0);
    EXPECT_EQ(std::tuple(first.silence, first.cut), std::tuple(600, 0));
    const auto second = timeline.place(1080);
    EXPECT_EQ(std::tuple(second.silence, second.cut), std::tuple(0, 0));

    // A block that begins before time zero loses what precedes it.
    AudioTimeline early(rate);
    for (std::size_t k = 0; k <= AudioTimeline::lookahead; ++k)
        early.push(-100.0 + static_cast<double>(k * block), block);
    const auto start = early.place(0);
    EXPECT_EQ(std::tuple(start.silence, start.cut), std::tuple(0, 100));
}

}  // namespace
