// The performance-counter formula of the Windows clock; runs on Linux and, cross-compiled, under
// wine. Expected values come from 128-bit arithmetic, which cannot overflow here.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "monotonic_clock.h"

namespace {

__extension__ using wide = __int128;

constexpr std::int64_t seconds_to_ns = 1000000000;
constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();

std::int64_t exact_ns(std::int64_t counter, std::int64_t frequency) {
    return static_cast<std::int64_t>(wide{counter} * seconds_to_ns / frequency);
}

// The largest counter whose nanoseconds still fit in 64 bits: counter * 10^9 / frequency < 2^63.
std::int64_t largest_counter(std::int64_t frequency) {
    return static_cast<std::int64_t>(((wide{int64_max} + 1) * frequency - 1) / seconds_to_ns);
}

TEST(counter_to_ns, matches_exact_arithmetic) {
    const std::int64_t frequencies[] = {1, 3579545, 10000000, 1000000000, 2995200000};
    for (const std::int64_t frequency : frequencies) {
        const std::int64_t top = largest_counter(frequency);
        const std::int64_t counters[] = {
            0,          1,          frequency - 1,           frequency, frequency + 1,
            9223372036, 9223372037, 1000000 * frequency + 7, top - 1,   top};
        for (const std::int64_t counter : counters) {
            if (counter > top) {
                continue;  // its nanoseconds do not fit in 64 bits
            }
            EXPECT_EQ(counter_to_ns(counter, frequency), exact_ns(counter, frequency))
                << "counter " << counter << " frequency " << frequency;
        }
    }
}

TEST(counter_to_ns, counters_whose_product_overflows) {
    // At 10 MHz counter * 10^9 passes 2^63 after about 15 minutes of uptime; the split formula
    // stays exact for centuries.
    EXPECT_EQ(counter_to_ns(9223372037LL, 10000000), 922337203700LL);
    EXPECT_EQ(counter_to_ns(86400LL * 365 * 100 * 10000000, 10000000),
              86400LL * 365 * 100 * seconds_to_ns);
    EXPECT_EQ(counter_to_ns(int64_max, seconds_to_ns), int64_max);
}

}  // namespace
