// A whole launch replayed on the host: every thread's share, folded into the two cells as the
// kernel's atomic XOR and add fold them.
#pragma once

#include <cstdint>

#include "workload.h"

inline digests fold_grid(std::uint64_t kernel_seed, std::uint64_t units, unsigned grid_size,
                         unsigned block_size) {
    digests cells;
    for (unsigned block = 0; block < grid_size; ++block) {
        for (unsigned thread = 0; thread < block_size; ++thread) {
            const digests share =
                thread_digests(kernel_seed, units, block, block_size, grid_size, thread);
            cells.xor_digest ^= share.xor_digest;
            cells.sum_digest += share.sum_digest;
        }
    }
    return cells;
}
