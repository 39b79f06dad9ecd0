#include "device/simulated/SimulatedAudioPacer.h"
#include "device/simulated/SimulatedSessionClock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using qv::SimulatedAudioPacer;

// The capture thread's wake-ups are passed in: one on time, one held up for 35 ms, one a hair before
// its slot by rounding, one before its slot. Every buffer is stamped where its first slot began, never
// when the thread woke, and holds exactly the sound of the slots it covers, so buffers meet edge to
// edge on the microphone's own clock, whatever that clock's error.
TEST(SimulatedAudioPacer, StampsEachBufferAtItsFirstSlotHoweverLateTheThreadWakes) {
    struct Wake {
        double at;          // seconds after the session's start
        int firstSlot = 0;  // of the buffer delivered; 0: none
        int lastSlot = 0;
    };
    const std::vector<Wake> wakes = {
        {0.0099},                            // before the first slot begins
        {0.0101, 1, 1},                      // on time
        {0.0553, 2, 5},                      // held up: four slots at once, stamped where the first began
        {0.0580},                            // the slot that has begun is delivered already
        {0.0601, 6, 6}, {0.06999999, 7, 7},  // a hair early by rounding
        {0.0950, 8, 9},
    };
    const qv::SimulatedSessionClock clock;
    for (const double ppm : {0.0, 1000.0, -1000.0}) {
        SCOPED_TRACE(ppm);
        const double origin = 100;
        auto sound = std::make_shared<const qv::SimulatedSound>(qv::AudioFormat{48000, 1}, ppm, clock);
        // Started 3 ms into the session: the first buffer is the next slot on the grid.
        SimulatedAudioPacer pacer(sound, origin, origin + 0.003);
        EXPECT_DOUBLE_EQ(pacer.firstDue(), origin + 0.01);
        std::int64_t next = sound->first(0.01);
        for (const Wake& wake : wakes) {
            SCOPED_TRACE(wake.at);
            const auto sample = pacer.take(origin + wake.at);
            ASSERT_EQ(sample.has_value(), wake.firstSlot != 0);
            if (!sample) continue;
            EXPECT_NEAR(sample->presentationTime, origin + wake.firstSlot * 0.01, 1e-9);
            const std::int64_t end = sound->first((wake.lastSlot + 1) * 0.01);
            EXPECT_EQ(sample->frames(), end - next);
            next = end;
        }
        // 90 ms of the microphone's clock in all: 1 + ppm / 10⁶ times 90 ms of samples.
        EXPECT_NEAR(static_cast<double>(next - sound->first(0.01)), 0.09 * 48000 * (1 + ppm / 1e6), 1);
    }
}
