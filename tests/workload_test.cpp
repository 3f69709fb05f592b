#include "workload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "parallel_digests.h"
#include "support/case_name.h"
#include "support/grid_fold.h"

namespace {

const std::string zeros(64, '0');

// The helper's launch for `units` replayed thread by thread: 256-thread blocks, at most 4096.
digests launch_digests(std::uint64_t kernel_seed, std::uint64_t units) {
    const auto blocks = static_cast<unsigned>(std::min<std::uint64_t>((units + 255) / 256, 4096));
    return fold_grid(kernel_seed, units, blocks, 256);
}

struct digest_row {
    std::string seed_text;
    std::uint64_t kernel_seed;
    std::uint64_t units;
    std::uint64_t xor_digest;
    std::uint64_t sum_digest;
};

class published_digests : public testing::TestWithParam<digest_row> {};

TEST_P(published_digests, seed_and_digests) {
    const digest_row& row = GetParam();
    const std::uint64_t kernel_seed = decode_seed(row.seed_text);
    EXPECT_EQ(kernel_seed, row.kernel_seed);
    EXPECT_EQ(host_digests(kernel_seed, row.units), (digests{row.xor_digest, row.sum_digest}));
}

INSTANTIATE_TEST_SUITE_P(
    table, published_digests,
    testing::Values(digest_row{zeros, 0, 1, 0xe220a8397b1dcdaf, 0xe220a8397b1dcdaf},
                    digest_row{zeros, 0, 2, 0x732a85d5f21f916e, 0x732ad62604202a70},
                    digest_row{zeros, 0, 3, 0xe472b00bee88c7a0, 0x0a830c0420b7813e},
                    digest_row{"0123456789abcdef" + std::string(48, '0'), 0xefcdab8967452301, 1,
                               0x974d31d2b87a9311, 0x974d31d2b87a9311},
                    // base wraps: 0xffffffffffffffff + 0x9E3779B97F4A7C15
                    digest_row{std::string(64, 'f'), 0xffffffffffffffff, 1, 0xe4d971771b652c20,
                               0xe4d971771b652c20}));

// The published vectors, computed by tests/vectors/reference_digests.py.
TEST(published_vectors, host_loop_reproduces_every_row) {
    std::ifstream vectors(MAVO_DIGEST_VECTORS);
    ASSERT_TRUE(vectors) << MAVO_DIGEST_VECTORS;
    std::string line;
    std::getline(vectors, line);  // header
    int rows = 0;
    while (std::getline(vectors, line)) {
        std::istringstream fields(line);
        std::string seed_text;
        std::uint64_t units = 0;
        std::string xor_value;
        std::string sum_value;
        fields >> seed_text >> units >> xor_value >> sum_value;
        const digests expected{std::stoull(xor_value, nullptr, 16),
                               std::stoull(sum_value, nullptr, 16)};
        EXPECT_EQ(host_digests(decode_seed(seed_text), units), expected) << line;
        EXPECT_EQ(launch_digests(decode_seed(seed_text), units), expected) << "launch " << line;
        // The verifier runs only the widest of these here, so each is checked on its own.
        for (const fold_variant& variant : supported_folds()) {
            EXPECT_EQ(variant.fold(decode_seed(seed_text), 0, units), expected)
                << variant.instruction_set << " " << line;
        }
        ++rows;
    }
    EXPECT_EQ(rows, 20);
}

// The widest fold for this CPU as its kernel reports the CPU's features, read apart from the
// compiler's detection that the verifier uses; empty where /proc/cpuinfo does not exist.
std::string widest_fold_from_cpuinfo() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.starts_with("flags") || line.starts_with("Features")) {
            std::istringstream words(line.substr(line.find(':') + 1));
            const std::set<std::string> features{std::istream_iterator<std::string>(words), {}};
            if (features.contains("avx512dq") && features.contains("avx512vl")) {
                return "avx512";
            }
            if (features.contains("avx2")) {
                return "avx2";
            }
            return features.contains("sve") ? "sve" : "baseline";
        }
    }
    return "";
}

TEST(chosen_fold, is_the_widest_this_cpu_runs) {
    const std::string widest = widest_fold_from_cpuinfo();
    if (widest.empty()) {
        GTEST_SKIP() << "no /proc/cpuinfo to tell this CPU's features";
    }
    EXPECT_EQ(chosen_fold().instruction_set, widest);
}

class kernel_threads : public testing::TestWithParam<std::uint64_t> {};

// The sum shows a unit counted twice, which the XOR of an even count would hide.
TEST_P(kernel_threads, together_cover_every_unit_once) {
    const std::uint64_t kernel_seed = 0x5a0f3c96e1b7d248;
    EXPECT_EQ(launch_digests(kernel_seed, GetParam()), host_digests(kernel_seed, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(launch_boundaries, kernel_threads,
                         testing::Values(1, 255, 256, 257, 1048575, 1048576, 1048577));

TEST(decode_seed, upper_and_lower_case_digits_agree) {
    EXPECT_EQ(decode_seed("0123456789ABCDEF" + std::string(48, '0')),
              decode_seed("0123456789abcdef" + std::string(48, '0')));
    EXPECT_EQ(decode_seed(std::string(64, 'F')), 0xffffffffffffffffULL);
}

TEST(decode_seed, characters_after_sixteen_are_never_examined) {
    EXPECT_EQ(decode_seed(std::string(16, '0') + std::string(48, 'z')), 0U);
    EXPECT_EQ(decode_seed("a0" + std::string(14, '0') + std::string(48, '\0')), 0xa0U);
}

struct bad_seed {
    const char* name;
    std::string seed_text;
    const char* message;
};

void PrintTo(const bad_seed& c, std::ostream* os) {
    *os << c.name;
}

class malformed_seeds : public testing::TestWithParam<bad_seed> {};

TEST_P(malformed_seeds, are_refused_with_their_message) {
    try {
        decode_seed(GetParam().seed_text);
        FAIL() << "accepted";
    } catch (const seed_error& error) {
        EXPECT_STREQ(error.what(), GetParam().message);
    }
}

const char* const length_message = "seed must contain exactly 64 hexadecimal characters";
const char* const digit_message = "seed contains a non-hexadecimal character";

INSTANTIATE_TEST_SUITE_P(
    table, malformed_seeds,
    testing::Values(bad_seed{"empty", "", length_message},
                    bad_seed{"sixty_three", std::string(63, '0'), length_message},
                    bad_seed{"sixty_five", std::string(65, '0'), length_message},
                    // 64 characters, but the two-byte "é" makes 65 bytes.
                    bad_seed{"utf8_counts_bytes", "\xc3\xa9" + std::string(63, '0'),
                             length_message},
                    bad_seed{"letter_g_first", "g" + std::string(63, '0'), digit_message},
                    bad_seed{"space_at_fifteen", std::string(15, '0') + " " + std::string(48, '0'),
                             digit_message},
                    bad_seed{"sign", "+" + std::string(63, '0'), digit_message},
                    bad_seed{"nul_inside_first_sixteen",
                             std::string(7, '0') + '\0' + std::string(56, '0'), digit_message},
                    bad_seed{"high_byte", "\xff" + std::string(63, '0'), digit_message}),
    case_name{});

}  // namespace
