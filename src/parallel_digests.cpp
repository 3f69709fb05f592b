#include "parallel_digests.h"

#include <thread>
#include <vector>

// One binary for every x86-64 CPU: the loader picks the AVX-512 or AVX2 clone where the CPU has it.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__)
#define MAVO_CPU_CLONES \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define MAVO_CPU_CLONES
#endif

MAVO_CPU_CLONES digests range_digests(std::uint64_t kernel_seed, std::uint64_t begin,
                                      std::uint64_t end) {
    const std::uint64_t base = kernel_seed + weyl_increment;
    std::uint64_t xor_digest = 0;
    std::uint64_t sum_digest = 0;
    for (std::uint64_t i = begin; i < end; ++i) {
        const std::uint64_t value = mix64(base + i);
        xor_digest ^= value;
        sum_digest += value;
    }
    return {xor_digest, sum_digest};
}

digests parallel_digests(std::uint64_t kernel_seed, std::uint64_t units, unsigned threads) {
    std::vector<digests> parts(threads);
    std::vector<std::jthread> workers;
    for (unsigned t = 1; t < threads; ++t) {
        workers.emplace_back([&parts, kernel_seed, units, threads, t] {
            parts[t] = range_digests(kernel_seed, units * t / threads, units * (t + 1) / threads);
        });
    }
    parts[0] = range_digests(kernel_seed, 0, units / threads);
    workers.clear();  // joins
    digests total;
    for (const digests& part : parts) {
        total.xor_digest ^= part.xor_digest;
        total.sum_digest += part.sum_digest;
    }
    return total;
}
