// The digests on every CPU core, vectorised for the best instruction set the CPU has.
#pragma once

#include <cstdint>
#include <vector>

#include "workload.h"

using fold_function = digests (*)(std::uint64_t kernel_seed, std::uint64_t begin,
                                  std::uint64_t end);

struct fold_variant {
    const char* instruction_set;
    fold_function fold;
};

// The digest loop compiled for each instruction set this CPU runs, widest first, baseline last.
std::vector<fold_variant> supported_folds();

// The fold this process runs: the first of supported_folds(), chosen once.
const fold_variant& chosen_fold();

// Digests of the unit indices begin to end - 1 on the calling thread, with the widest fold.
digests range_digests(std::uint64_t kernel_seed, std::uint64_t begin, std::uint64_t end);

// Digests of units 0 to units - 1, split into `threads` contiguous ranges (threads >= 1).
digests parallel_digests(std::uint64_t kernel_seed, std::uint64_t units, unsigned threads);
