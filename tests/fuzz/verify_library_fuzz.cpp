// Any arguments through the C interface: units (8 bytes), threads (2 bytes), a field number (1
// byte, signed), the seed's size (1 byte) and the seed, then the report. Whatever comes in, each
// call returns a result that reads consistently and frees cleanly; a field out of range, or a
// report never read, gives NULL.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mavo_edge/verify.h"

namespace {

struct reader {
    const std::uint8_t* data;
    std::size_t size;

    std::uint64_t take(std::size_t count) {
        std::uint64_t value = 0;
        for (; count > 0 && size > 0; --count, ++data, --size) {
            value = value << 8 | *data;
        }
        return value;
    }
};

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// Counts within the limits are made small, so that each input costs microseconds; those beyond
// them are passed as they came, to be refused.
std::uint64_t small_units(std::uint64_t units) {
    return units > 4096 && units <= MAVO_EDGE_MAX_UNITS ? 1 + units % 4096 : units;
}

unsigned few_threads(std::uint64_t threads) {
    return static_cast<unsigned>(threads <= MAVO_EDGE_MAX_THREADS ? threads % 4 : threads);
}

void check(mavo_edge_result* result, int field, bool report_read) {
    require(result != nullptr);
    const mavo_edge_outcome outcome = mavo_edge_result_outcome(result);
    require(outcome >= MAVO_EDGE_EQUAL && outcome <= MAVO_EDGE_FAILED);
    require(mavo_edge_result_message(result) != nullptr);
    require(outcome == MAVO_EDGE_MALFORMED || mavo_edge_result_offset(result) == 0);
    const bool has_report =
        report_read && (outcome == MAVO_EDGE_EQUAL || outcome == MAVO_EDGE_MISMATCH);
    const bool in_range = field >= MAVO_EDGE_XOR_VALUE && field <= MAVO_EDGE_UNITS;
    std::size_t size = 0;
    const char* found = mavo_edge_result_found(result, field, &size);
    require((found != nullptr) == (has_report && in_range));
    require(found == nullptr || std::strlen(found) <= size);
    if (!in_range) {
        require(mavo_edge_result_expected(result, field) == nullptr);
    }
    mavo_edge_result_free(result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    reader input{data, size};
    const std::uint64_t units = small_units(input.take(8));
    const unsigned threads = few_threads(input.take(2));
    const int field = static_cast<std::int8_t>(input.take(1));
    const std::size_t seed_size = std::min<std::size_t>(input.take(1), input.size);
    const char* seed = reinterpret_cast<const char*>(input.data);
    const char* report = seed + seed_size;
    const std::size_t report_size = input.size - seed_size;
    check(mavo_edge_expected_digests(seed, seed_size, units, threads), field, false);
    check(mavo_edge_check_report(report, report_size, seed, seed_size, units, threads), field,
          true);
    return 0;
}
