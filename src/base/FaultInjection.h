#pragma once

#include <cstdint>

namespace qv {

// The seam through which the helper acquires threads, timers and file descriptors. Every such
// acquisition calls acquire() first; a test makes the Nth one fail as the system would when a
// limit is reached, to check that each transition either completes or changes nothing. In the
// helper no failure is ever armed, and acquire() costs one atomic increment.
class FaultInjection {
public:
    enum class Kind { thread, timer, file };

    // Throws the std::system_error of an exhausted limit (EAGAIN for a thread, EMFILE otherwise)
    // when this is the acquisition chosen to fail.
    static void acquire(Kind kind);
    // The same test for callers that report failure through errno: true (with errno set) when
    // this acquisition fails.
    static bool refuses(Kind kind);
    // Makes the `nth` acquisition from now fail (1: the next one) and restarts the count; 0
    // disarms.
    static void failAt(std::uint64_t nth);
    // Acquisitions since the last failAt().
    static std::uint64_t count();
    // Whether the armed failure has happened.
    static bool fired();
};

}  // namespace qv
