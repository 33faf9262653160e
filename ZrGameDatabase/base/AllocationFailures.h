// AllocationFailures.h: allocation failures on demand, for the tests that drive the library's
// out-of-memory paths. The library itself never arms them.
//
// Each of the two memory sources has a countdown: SQLite's memory methods (every malloc and every
// realloc counts) and the module allocation routine (Allocate). Armed with n, the n-th allocation
// from then on returns null as if the memory had run out. Disarmed, as it always is outside tests,
// an allocation pays one well-predicted branch on a plain global and nothing else, so the switch
// stays in every build rather than in a special test build.
//
// Plain globals without a lock: a test arms a countdown only while a single thread allocates from
// that source. Disarmed, they are only ever read, so other threads are undisturbed.
#pragma once

#include <cstdint>

namespace Database::Memory::AllocationFailures {

struct Countdown {
    std::uint64_t remaining;  // allocations up to and including the one to fail; 0: disarmed
    bool persistent;          // once that one failed, every later one fails too
    std::uint64_t failures;   // allocations failed on purpose since the countdown was armed
};

extern Countdown g_sqliteHeap;  // SQLite's memory methods, malloc and realloc alike
extern Countdown g_module;      // the module allocation routine

// Whether the allocation being made is to fail; moves the countdown on when armed.
inline bool FailThisAllocation(Countdown& countdown) noexcept {
    if (countdown.remaining == 0) [[likely]]
        return false;
    if (--countdown.remaining != 0)
        return false;
    ++countdown.failures;
    if (countdown.persistent)
        countdown.remaining = 1;
    return true;
}

// Makes the count-th allocation from now fail (and, when persistent, every one after it); a count
// of 0 disarms.
inline void Arm(Countdown& countdown, std::uint64_t count, bool persistent = false) noexcept {
    countdown = Countdown{count, persistent, 0};
}

inline void Disarm(Countdown& countdown) noexcept {
    countdown.remaining = 0;
}

// Whether an armed countdown reached its allocation, that is, whether the work it watched made at
// least count allocations.
inline bool Reached(const Countdown& countdown) noexcept {
    return countdown.failures != 0;
}

}  // namespace Database::Memory::AllocationFailures
