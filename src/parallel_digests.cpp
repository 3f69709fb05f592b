#include "parallel_digests.h"

#include <thread>
#include <vector>

#if defined(__GNUC__) && defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace {

digests fold_range_baseline(std::uint64_t kernel_seed, std::uint64_t begin, std::uint64_t end) {
    return fold_units(kernel_seed, begin, end);
}

// One binary for every x86-64 CPU: the widest vector code the CPU runs is chosen at run time
// (AVX-512 has the 64-bit vector multiply that the mixing needs; AVX2 emulates it).
#if defined(__GNUC__) && defined(__x86_64__)
[[gnu::target("avx512f,avx512dq,avx512vl")]] digests fold_range_avx512(std::uint64_t kernel_seed,
                                                                       std::uint64_t begin,
                                                                       std::uint64_t end) {
    return fold_units(kernel_seed, begin, end);
}

[[gnu::target("avx2")]] digests fold_range_avx2(std::uint64_t kernel_seed, std::uint64_t begin,
                                                std::uint64_t end) {
    return fold_units(kernel_seed, begin, end);
}
#endif

// On 64-bit Arm, NEON has no 64-bit lane multiply but SVE has; the kernel says which CPUs have it.
#if defined(__GNUC__) && defined(__aarch64__) && defined(__linux__)
[[gnu::target("+sve")]] digests fold_range_sve(std::uint64_t kernel_seed, std::uint64_t begin,
                                               std::uint64_t end) {
    return fold_units(kernel_seed, begin, end);
}
#endif

}  // namespace

std::vector<fold_variant> supported_folds() {
    std::vector<fold_variant> folds;
#if defined(__GNUC__) && defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl")) {
        folds.push_back({"avx512", fold_range_avx512});
    }
    if (__builtin_cpu_supports("avx2")) {
        folds.push_back({"avx2", fold_range_avx2});
    }
#elif defined(__GNUC__) && defined(__aarch64__) && defined(__linux__)
    if ((getauxval(AT_HWCAP) & HWCAP_SVE) != 0) {
        folds.push_back({"sve", fold_range_sve});
    }
#endif
    folds.push_back({"baseline", fold_range_baseline});
    return folds;
}

const fold_variant& chosen_fold() {
    static const fold_variant fold = supported_folds().front();
    return fold;
}

digests range_digests(std::uint64_t kernel_seed, std::uint64_t begin, std::uint64_t end) {
    return chosen_fold().fold(kernel_seed, begin, end);
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
