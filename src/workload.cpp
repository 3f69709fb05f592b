#include "workload.h"

namespace {

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    throw seed_error("seed contains a non-hexadecimal character");
}

}  // namespace

std::uint64_t decode_seed(std::string_view seed_text) {
    if (seed_text.size() != 64) {
        throw seed_error("seed must contain exactly 64 hexadecimal characters");
    }
    std::uint64_t seed = 0;
    for (unsigned k = 0; k < 8; ++k) {
        const auto byte = static_cast<std::uint64_t>(hex_digit_value(seed_text[2 * k]) * 16 +
                                                     hex_digit_value(seed_text[2 * k + 1]));
        seed |= byte << (8 * k);
    }
    return seed;
}

digests host_digests(std::uint64_t kernel_seed, std::uint64_t units) {
    return fold_units(kernel_seed, 0, units);
}
