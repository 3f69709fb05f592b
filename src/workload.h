// The integer workload: one definition shared by the kernel, the host loop and every tool.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

#if defined(__CUDACC__)
#define MAVO_HOST_DEVICE __host__ __device__
#else
#define MAVO_HOST_DEVICE
#endif

inline constexpr std::uint64_t weyl_increment = 0x9E3779B97F4A7C15ULL;

// SplitMix64 output finalizer.
MAVO_HOST_DEVICE constexpr std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

class seed_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The kernel seed: the first 16 characters as 8 little-endian hex bytes. The text must be exactly
// 64 bytes long; characters 16 to 63 are never examined.
std::uint64_t decode_seed(std::string_view seed_text);

struct digests {
    std::uint64_t xor_digest = 0;
    std::uint64_t sum_digest = 0;

    // Spelled out, not defaulted: the kernel's translation unit is C++17.
    friend constexpr bool operator==(const digests& a, const digests& b) {
        return a.xor_digest == b.xor_digest && a.sum_digest == b.sum_digest;
    }
};

// XOR and wrapping sum of the values of units begin, begin + stride, ... below end; unit i's value
// is mix64(kernel_seed + weyl_increment + i). Inlined so that each caller may compile it for its
// own instruction set.
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
MAVO_HOST_DEVICE constexpr digests
fold_units(std::uint64_t kernel_seed, std::uint64_t begin, std::uint64_t end,
           std::uint64_t stride = 1) {
    const std::uint64_t base = kernel_seed + weyl_increment;
    digests result;
    for (std::uint64_t i = begin; i < end; i += stride) {
        const std::uint64_t value = mix64(base + i);
        result.xor_digest ^= value;
        result.sum_digest += value;
    }
    return result;
}

// One thread's share of the kernel's grid-stride walk: units first, first + stride, ... below
// units, where first = block_index * block_size + thread_index and stride = block_size * grid_size,
// both formed in 64 bits. The kernel runs it per thread; host tools run it to replay a launch.
MAVO_HOST_DEVICE constexpr digests thread_digests(std::uint64_t kernel_seed, std::uint64_t units,
                                                  unsigned block_index, unsigned block_size,
                                                  unsigned grid_size, unsigned thread_index) {
    return fold_units(kernel_seed, std::uint64_t{block_index} * block_size + thread_index, units,
                      std::uint64_t{block_size} * grid_size);
}

// The digests of units 0 to units - 1, on one host thread with the baseline instruction set.
digests host_digests(std::uint64_t kernel_seed, std::uint64_t units);
