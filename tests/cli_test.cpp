// The command-line contract, through the real binary: status, standard error bytes, and nothing on
// standard output.
#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/case_name.h"
#include "support/process.h"

namespace {

const std::string usage = "mavo-edge-gpu-helper --seed <64-hex> --units <count> --json\n";
const std::string prefix = "mavo-edge-gpu-helper: ";
const std::string zero_seed(64, '0');

// Arguments that pass every check reach the first device step; what it says depends on this
// machine's driver, so ask the runtime here the same question.
std::string first_device_failure() {
    int count = 0;
    const cudaError_t status = cudaGetDeviceCount(&count);
    if (status != cudaSuccess) {
        return prefix + "cudaGetDeviceCount: " + cudaGetErrorString(status) + "\n";
    }
    return count < 1 ? prefix + "no CUDA device is available\n" : std::string();
}

const std::string passes_checks = "<first device step fails>";

struct cli_case {
    const char* name;
    std::vector<std::string> arguments;
    int exit_status;
    std::string standard_error;
};

void PrintTo(const cli_case& c, std::ostream* os) {
    *os << c.name;
}

class cli_contract : public testing::TestWithParam<cli_case> {};

TEST_P(cli_contract, status_and_messages) {
    const cli_case& c = GetParam();
    std::string expected_error = c.standard_error;
    if (expected_error == passes_checks) {
        expected_error = first_device_failure();
        if (expected_error.empty()) {
            GTEST_SKIP() << "a CUDA device is present; this case would run the workload";
        }
    }
    const process_result result = run_process(program_under_test(MAVO_HELPER_PATH), c.arguments);
    EXPECT_EQ(result.exit_status, c.exit_status);
    EXPECT_EQ(result.standard_error, expected_error);
    EXPECT_EQ(result.standard_output, "");
}

std::string unknown(const std::string& argument) {
    return prefix + "unknown or incomplete argument: " + argument + "\n";
}

const std::string invalid_units = prefix + "invalid stoull argument\n";
const std::string units_out_of_range = prefix + "stoull argument out of range\n";

std::vector<std::string> request(const std::string& seed, const std::string& units) {
    return {"--seed", seed, "--units", units, "--json"};
}

INSTANTIATE_TEST_SUITE_P(
    table, cli_contract,
    testing::Values(
        cli_case{"help_long", {"--help"}, 0, usage}, cli_case{"help_short", {"-h"}, 0, usage},
        cli_case{"help_ends_scan_before_unknown", {"--json", "--help", "--bogus"}, 0, usage},
        cli_case{"help_after_valid_request",
                 {"--seed", zero_seed, "--units", "5", "--json", "-h"},
                 0,
                 usage},
        cli_case{"unknown_before_help", {"--bogus", "--help"}, 1, unknown("--bogus")},
        cli_case{"no_arguments", {}, 2, usage},
        cli_case{"json_missing", {"--seed", zero_seed, "--units", "1"}, 2, usage},
        cli_case{"seed_missing", {"--units", "1", "--json"}, 2, usage},
        cli_case{"seed_empty", request("", "1"), 2, usage},
        cli_case{"units_missing", {"--seed", zero_seed, "--json"}, 2, usage},
        cli_case{"units_zero", request(zero_seed, "0"), 2, usage},
        cli_case{"units_above_maximum", request(zero_seed, "100000001"), 2, usage},
        cli_case{"units_minus_one_wraps_to_maximum", request(zero_seed, "-1"), 2, usage},
        cli_case{"units_hex_prefix_reads_zero", request(zero_seed, "0x10"), 2, usage},
        cli_case{"seed_swallows_json", {"--seed", "--json", "--units", "5"}, 2, usage},
        cli_case{"units_maximum", request(zero_seed, "100000000"), 1, passes_checks},
        cli_case{"units_one", request(zero_seed, "1"), 1, passes_checks},
        cli_case{"units_digits_then_letters", request(zero_seed, "0012abc"), 1, passes_checks},
        cli_case{"units_leading_blanks_and_plus", request(zero_seed, "  +42"), 1, passes_checks},
        cli_case{"units_negative_wraps_to_one", request(zero_seed, "-18446744073709551615"), 1,
                 passes_checks},
        cli_case{"units_letter_first", request(zero_seed, "abc"), 1, invalid_units},
        cli_case{"units_empty", request(zero_seed, ""), 1, invalid_units},
        cli_case{"units_spaces_only", request(zero_seed, "   "), 1, invalid_units},
        cli_case{"units_twenty_nines", request(zero_seed, "99999999999999999999"), 1,
                 units_out_of_range},
        cli_case{"units_takes_json_as_value",
                 {"--seed", zero_seed, "--units", "--json"},
                 1,
                 invalid_units},
        cli_case{"units_takes_help_as_value",
                 {"--seed", zero_seed, "--units", "--help"},
                 1,
                 invalid_units},
        cli_case{"units_last", {"--seed", zero_seed, "--json", "--units"}, 1, unknown("--units")},
        cli_case{"seed_last", {"--units", "1", "--json", "--seed"}, 1, unknown("--seed")},
        cli_case{"empty_argument", {"--json", ""}, 1, unknown("")},
        cli_case{"options_are_case_sensitive", {"--JSON"}, 1, unknown("--JSON")},
        cli_case{"no_joined_values", {"--units=5"}, 1, unknown("--units=5")},
        cli_case{"no_bundled_short_options", {"-hh"}, 1, unknown("-hh")},
        cli_case{"seed_takes_help_as_value",
                 {"--seed", "--help", "--units", "1", "--json"},
                 1,
                 passes_checks},
        cli_case{"any_order", {"--json", "--units", "7", "--seed", zero_seed}, 1, passes_checks},
        cli_case{"last_units_wins",
                 {"--units", "0", "--seed", zero_seed, "--units", "3", "--json"},
                 1,
                 passes_checks},
        cli_case{"every_units_value_is_converted",
                 {"--units", "x", "--seed", zero_seed, "--units", "3", "--json"},
                 1,
                 invalid_units},
        cli_case{"last_seed_wins",
                 {"--seed", "", "--units", "3", "--seed", zero_seed, "--json"},
                 1,
                 passes_checks},
        cli_case{"short_seed_checked_only_after_device_steps", request("abc", "1"), 1,
                 passes_checks},
        cli_case{"non_hex_seed_checked_only_after_device_steps", request(std::string(64, 'z'), "1"),
                 1, passes_checks}),
    case_name{});

}  // namespace
