// The verifier as a C library: the parser and comparison of mavo-edge-verify behind functions that
// let no exception out. Each call builds its own result; nothing is shared between calls.
#include "mavo_edge/verify.h"

#include <algorithm>
#include <array>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "cli.h"
#include "parallel_digests.h"
#include "report.h"
#include "report_check.h"
#include "report_parser.h"
#include "verify_cli.h"
#include "workload.h"

// The header's limits are the programs' own.
static_assert(MAVO_EDGE_MAX_UNITS == max_units && MAVO_EDGE_MAX_THREADS == max_threads &&
              MAVO_EDGE_MAX_REPORT_BYTES == max_report_bytes);

struct mavo_edge_result {
    mavo_edge_outcome outcome = MAVO_EDGE_FAILED;
    std::string message;
    std::uint64_t offset = 0;
    bool has_report = false;              // a report was read and compared
    std::array<std::string, 6> found;     // by mavo_edge_field
    std::array<std::string, 6> expected;  // xor_value, sum_value and units only
};

namespace {

class refused_argument : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// About 16 µs of folding on one core, the order of what starting a thread costs.
constexpr std::uint64_t units_per_thread = 65536;

struct request {
    std::uint64_t kernel_seed;
    std::uint64_t units;
    unsigned threads;
};

// mavo-edge-verify's rules; where it prints its usage line, these say which limit was crossed.
request checked_request(const char* seed, std::size_t seed_size, std::uint64_t units,
                        unsigned threads) {
    if (units < 1 || units > max_units) {
        throw refused_argument("units must be 1 to " + std::to_string(max_units));
    }
    if (threads > max_threads) {
        throw refused_argument("threads must be 1 to " + std::to_string(max_threads));
    }
    const std::uint64_t kernel_seed = decode_seed(std::string_view(seed, seed_size));
    if (threads == 0) {
        // Every hardware thread, but none that would cost more to start than its share saves (and
        // asking how many there are costs microseconds too).
        const auto useful = static_cast<unsigned>(std::min(units / units_per_thread, max_threads));
        threads = useful <= 1 ? 1U : std::clamp(std::thread::hardware_concurrency(), 1U, useful);
    }
    return {kernel_seed, units, threads};
}

digests compute_expected(mavo_edge_result& result, const request& checked) {
    const digests expected = parallel_digests(checked.kernel_seed, checked.units, checked.threads);
    result.expected[MAVO_EDGE_XOR_VALUE] = hex64(expected.xor_digest);
    result.expected[MAVO_EDGE_SUM_VALUE] = hex64(expected.sum_digest);
    result.expected[MAVO_EDGE_UNITS] = std::to_string(checked.units);
    return expected;
}

void set_outcome(mavo_edge_result& result, mavo_edge_outcome outcome,
                 const char* message) noexcept {
    result.outcome = outcome;
    try {
        result.message = message;
    } catch (const std::bad_alloc&) {
        result.message.clear();
    }
}

// Runs body on a new result and turns what it throws into the result's outcome.
template <typename Body>
mavo_edge_result* run(Body body) noexcept {
    auto* result = new (std::nothrow) mavo_edge_result;
    if (result == nullptr) {
        return nullptr;
    }
    try {
        body(*result);
    } catch (const report_format_error& error) {
        set_outcome(*result, MAVO_EDGE_MALFORMED, error.what());
        result->offset = error.offset();
    } catch (const refused_argument& error) {
        set_outcome(*result, MAVO_EDGE_BAD_ARGUMENTS, error.what());
    } catch (const seed_error& error) {
        set_outcome(*result, MAVO_EDGE_BAD_ARGUMENTS, error.what());
    } catch (const std::exception& error) {
        set_outcome(*result, MAVO_EDGE_FAILED, error.what());
    } catch (...) {
        set_outcome(*result, MAVO_EDGE_FAILED, "unknown failure");
    }
    return result;
}

// Fields arrive as plain ints: C passes any value, and an enum must not hold one out of range.
bool field_in_range(int field) {
    return field >= MAVO_EDGE_XOR_VALUE && field <= MAVO_EDGE_UNITS;
}

}  // namespace

extern "C" {

const char* mavo_edge_version(void) {
    return MAVO_EDGE_VERSION;
}

mavo_edge_result* mavo_edge_expected_digests(const char* seed, size_t seed_size, uint64_t units,
                                             unsigned threads) {
    return run([&](mavo_edge_result& result) {
        compute_expected(result, checked_request(seed, seed_size, units, threads));
        result.outcome = MAVO_EDGE_EQUAL;
    });
}

mavo_edge_result* mavo_edge_check_report(const char* report, size_t report_size, const char* seed,
                                         size_t seed_size, uint64_t units, unsigned threads) {
    return run([&](mavo_edge_result& result) {
        const request checked = checked_request(seed, seed_size, units, threads);
        const report_fields fields =
            parse_report(report_line(std::string_view(report, report_size)));
        const digests expected = compute_expected(result, checked);
        std::string lines;
        for (const field_mismatch& mismatch : compare_report(fields, expected, checked.units)) {
            if (!lines.empty()) {
                lines += '\n';
            }
            lines += mismatch.message();
        }
        result.found = {fields.xor_value,
                        fields.sum_value,
                        fields.gpu_name,
                        fields.gpu_uuid,
                        std::to_string(fields.duration_ms),
                        std::to_string(fields.units)};
        result.message = lines;
        result.has_report = true;
        result.outcome = lines.empty() ? MAVO_EDGE_EQUAL : MAVO_EDGE_MISMATCH;
    });
}

mavo_edge_outcome mavo_edge_result_outcome(const mavo_edge_result* result) {
    return result != nullptr ? result->outcome : MAVO_EDGE_FAILED;
}

const char* mavo_edge_result_message(const mavo_edge_result* result) {
    return result != nullptr ? result->message.c_str() : "out of memory";
}

uint64_t mavo_edge_result_offset(const mavo_edge_result* result) {
    return result != nullptr && result->outcome == MAVO_EDGE_MALFORMED ? result->offset : 0;
}

const char* mavo_edge_result_found(const mavo_edge_result* result, int field, size_t* size) {
    if (result == nullptr || !result->has_report || !field_in_range(field)) {
        return nullptr;
    }
    const std::string& value = result->found[static_cast<std::size_t>(field)];
    if (size != nullptr) {
        *size = value.size();
    }
    return value.c_str();
}

const char* mavo_edge_result_expected(const mavo_edge_result* result, int field) {
    if (result == nullptr || !field_in_range(field)) {
        return nullptr;
    }
    const std::string& value = result->expected[static_cast<std::size_t>(field)];
    return value.empty() ? nullptr : value.c_str();
}

void mavo_edge_result_free(mavo_edge_result* result) {
    delete result;
}
}
