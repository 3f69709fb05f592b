// Any byte string: either the kernel seed of its first 16 hex digits, or exactly the right refusal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "workload.h"

namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    bool all_hex = size == 64;
    for (std::size_t k = 0; all_hex && k < 16; ++k) {
        all_hex = is_hex_digit(text[k]);
    }
    try {
        const std::uint64_t seed = decode_seed(text);
        // strtoull reads the 16 digits most significant first; the seed stores pair k in byte k.
        const std::string digits(text.substr(0, 16));
        if (!all_hex || seed != __builtin_bswap64(std::strtoull(digits.c_str(), nullptr, 16))) {
            std::abort();
        }
    } catch (const seed_error& error) {
        const std::string expected = size != 64
                                         ? "seed must contain exactly 64 hexadecimal characters"
                                         : "seed contains a non-hexadecimal character";
        if (all_hex || error.what() != expected) {
            std::abort();
        }
    }
    return 0;
}
