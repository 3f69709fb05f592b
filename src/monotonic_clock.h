// The monotonic clock that times the GPU phase.
#pragma once

#include <cstdint>

// A performance-counter reading in nanoseconds, split so that counter * 10^9 cannot overflow for
// any counter value (the frequency is far below 9.2 GHz).
constexpr std::int64_t counter_to_ns(std::int64_t counter, std::int64_t frequency) {
    return (counter / frequency) * 1000000000 + ((counter % frequency) * 1000000000) / frequency;
}

// Nanoseconds from an arbitrary fixed start: the performance counter on Windows, the steady clock
// elsewhere.
std::int64_t monotonic_ns();
