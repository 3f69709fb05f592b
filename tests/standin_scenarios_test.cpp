// The whole run, device steps included, through the helper's own objects linked against the
// stand-in CUDA runtime; each case sets the runtime's behaviour in CUDA_STANDIN_SCENARIO.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/case_name.h"
#include "support/process.h"

namespace {

const std::string zero_seed(64, '0');
const std::string short_seed = "abc";
const std::string non_hex_seed = "0123456789abcdeg" + std::string(48, '0');
const std::string prefix = "mavo-edge-gpu-helper: ";

std::string hex_of(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

process_result run_helper(const std::string& scenario, const std::string& seed,
                          const std::string& units) {
    return run_process(program_under_test(MAVO_STANDIN_HELPER_PATH),
                       {"--seed", seed, "--units", units, "--json"},
                       {"CUDA_STANDIN_SCENARIO=" + scenario});
}

// The report with its duration replaced by "D", and the duration itself.
std::pair<std::string, long> without_duration(const std::string& report) {
    const std::string key = "\"duration_ms\":";
    const auto start = report.find(key) + key.size();
    const auto end = report.find(',', start);
    if (start < key.size() || end == std::string::npos) {
        return {report, -1};
    }
    const long duration_ms = std::stol(report.substr(start, end - start));
    return {report.substr(0, start) + "D" + report.substr(end), duration_ms};
}

std::string report_line(const std::string& xor_value, const std::string& sum_value,
                        const std::string& escaped_name, const std::string& escaped_bus_id,
                        const std::string& units) {
    return R"({"xor_value":")" + xor_value + R"(","sum_value":")" + sum_value +
           R"(","gpu_name":")" + escaped_name + R"(","gpu_uuid":")" + escaped_bus_id +
           R"(","duration_ms":D,"units":)" + units + "}\n";
}

// Digests from tests/vectors/digest_vectors.tsv.
const std::string one_unit = "e220a8397b1dcdaf";
std::string default_report(const std::string& name = "Stand-in GPU",
                           const std::string& bus_id = "00000000:01:00.0") {
    return report_line(one_unit, one_unit, name, bus_id, "1");
}

struct success_case {
    const char* name;
    std::string scenario;
    std::string seed;
    std::string units;
    std::string report;
};

void PrintTo(const success_case& c, std::ostream* os) {
    *os << c.name;
}

class successful_runs : public testing::TestWithParam<success_case> {};

TEST_P(successful_runs, write_the_report_and_nothing_else) {
    const success_case& c = GetParam();
    const process_result result = run_helper(c.scenario, c.seed, c.units);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.standard_error, "");
    const auto [report, duration_ms] = without_duration(result.standard_output);
    EXPECT_EQ(report, c.report);
    EXPECT_GE(duration_ms, 1);
}

INSTANTIATE_TEST_SUITE_P(
    table, successful_runs,
    testing::Values(
        success_case{"plain", "", zero_seed, "1", default_report()},
        success_case{"units_256", "", zero_seed, "256",
                     report_line("d98782462a813e6c", "84f16150ec91be98", "Stand-in GPU",
                                 "00000000:01:00.0", "256")},
        success_case{"units_257", "", zero_seed, "257",
                     report_line("bf855047c9a55b53", "eaf43352cfb623d7", "Stand-in GPU",
                                 "00000000:01:00.0", "257")},
        success_case{"units_1048321", "", zero_seed, "1048321",
                     report_line("e95a243d09c79706", "f9dd033e2e4941fe", "Stand-in GPU",
                                 "00000000:01:00.0", "1048321")},
        success_case{"units_100000000", "", zero_seed, "100000000",
                     report_line("291c90681e452ec5", "3d10aea28739d4a1", "Stand-in GPU",
                                 "00000000:01:00.0", "100000000")},
        success_case{"upper_case_seed", "", "0123456789ABCDEF" + std::string(48, '0'), "1000",
                     report_line("3990baaf6d28b6c3", "d91c53f65637154f", "Stand-in GPU",
                                 "00000000:01:00.0", "1000")},
        success_case{"capability_7_5", "capability=7.5", zero_seed, "1", default_report()},
        success_case{"capability_8_0", "capability=8.0", zero_seed, "1", default_report()},
        success_case{"capability_12_0", "capability=12.0", zero_seed, "1", default_report()},
        success_case{"several_devices_use_device_0", "count=3", zero_seed, "1", default_report()},
        success_case{"failed_bus_id_query_gives_empty_text", "fail=cudaDeviceGetPCIBusId#1:3",
                     zero_seed, "1", default_report("Stand-in GPU", "")},
        success_case{"bus_id_filling_the_whole_buffer",
                     "bus_id=" + hex_of(std::string(32, '7') + "extra"), zero_seed, "1",
                     default_report("Stand-in GPU", std::string(32, '7'))},
        success_case{"name_with_quote_and_backslash", "name=" + hex_of("RTX \"5\"\\Ti"), zero_seed,
                     "1", default_report("RTX \\\"5\\\"\\\\Ti")},
        success_case{"name_with_control_bytes", "name=" + hex_of("a\x07\tb\n\x1f\x7f"), zero_seed,
                     "1", default_report("a\\u0007\\tb\\n\\u001f\x7f")},
        success_case{"name_with_non_ascii_bytes", "name=" + hex_of("GPU \xe2\x84\xa2 \xff"),
                     zero_seed, "1", default_report("GPU \xe2\x84\xa2 \xff")},
        success_case{"name_filling_the_whole_field", "name=" + hex_of(std::string(256, 'N')),
                     zero_seed, "1", default_report(std::string(256, 'N'))}),
    case_name{});

struct failure_case {
    const char* name;
    std::string scenario;
    std::string seed;
    std::string message;
};

void PrintTo(const failure_case& c, std::ostream* os) {
    *os << c.name;
}

class failed_runs : public testing::TestWithParam<failure_case> {};

TEST_P(failed_runs, print_one_line_and_exit_1) {
    const failure_case& c = GetParam();
    const process_result result = run_helper(c.scenario, c.seed, "1000");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.standard_error, prefix + c.message + "\n");
    EXPECT_EQ(result.standard_output, "");
}

// Steps before the launch run with a malformed seed: their failure must win, because the seed is
// examined only once the launch arguments are formed.
INSTANTIATE_TEST_SUITE_P(
    table, failed_runs,
    testing::Values(
        failure_case{"count_query", "fail=cudaGetDeviceCount#1:35", short_seed,
                     "cudaGetDeviceCount: stand-in status 35"},
        failure_case{"no_device", "count=0", short_seed, "no CUDA device is available"},
        failure_case{"set_device", "fail=cudaSetDevice#1:101", short_seed,
                     "cudaSetDevice: stand-in status 101"},
        failure_case{"properties", "fail=cudaGetDeviceProperties#1:1", short_seed,
                     "cudaGetDeviceProperties: stand-in status 1"},
        failure_case{"capability_6_1", "capability=6.1", short_seed,
                     "GPU requires CUDA compute capability 7.5 or newer"},
        failure_case{"capability_7_0", "capability=7.0", short_seed,
                     "GPU requires CUDA compute capability 7.5 or newer"},
        failure_case{"capability_7_2", "capability=7.2", short_seed,
                     "GPU requires CUDA compute capability 7.5 or newer"},
        failure_case{"malloc_xor", "fail=cudaMalloc#1:2", short_seed,
                     "cudaMalloc xor: stand-in status 2"},
        failure_case{"malloc_sum", "fail=cudaMalloc#2:2", short_seed,
                     "cudaMalloc sum: stand-in status 2"},
        failure_case{"memset_xor", "fail=cudaMemset#1:1", non_hex_seed,
                     "cudaMemset xor: stand-in status 1"},
        failure_case{"memset_sum", "fail=cudaMemset#2:1", non_hex_seed,
                     "cudaMemset sum: stand-in status 1"},
        failure_case{"refused_configuration_before_seed", "fail=__cudaPushCallConfiguration#1:9",
                     short_seed, "edge_mix_kernel launch: stand-in status 9"},
        failure_case{"launch", "fail=cudaGetLastError#1:98", zero_seed,
                     "edge_mix_kernel launch: stand-in status 98"},
        failure_case{"synchronize", "fail=cudaDeviceSynchronize#1:700", zero_seed,
                     "edge_mix_kernel synchronize: stand-in status 700"},
        failure_case{"memcpy_xor", "fail=cudaMemcpy#1:700", zero_seed,
                     "cudaMemcpy xor: stand-in status 700"},
        failure_case{"memcpy_sum", "fail=cudaMemcpy#2:700", zero_seed,
                     "cudaMemcpy sum: stand-in status 700"},
        failure_case{"seed_length", "", short_seed,
                     "seed must contain exactly 64 hexadecimal characters"},
        failure_case{"seed_digit", "", non_hex_seed, "seed contains a non-hexadecimal character"},
        // 64 characters, 65 bytes: measured in UTF-8 bytes on every system.
        failure_case{"seed_with_two_byte_character", "", "\xc3\xa9" + std::string(63, '0'),
                     "seed must contain exactly 64 hexadecimal characters"}),
    case_name{});

struct runtime_step {
    const char* name;
    std::string call;  // FUNCTION#N, as the stand-in counts the calls
    bool timed;
};

void PrintTo(const runtime_step& c, std::ostream* os) {
    *os << c.name;
}

class timed_interval : public testing::TestWithParam<runtime_step> {};

// A delay on one call shows whether the duration covers it; nothing else in the run takes as long.
TEST_P(timed_interval, covers_the_gpu_phase_only) {
    const runtime_step& c = GetParam();
    const long delay_ms = 300;
    const process_result result =
        run_helper("delay=" + c.call + ":" + std::to_string(delay_ms), zero_seed, "1");
    ASSERT_EQ(result.exit_status, 0) << result.standard_error;
    const long duration_ms = without_duration(result.standard_output).second;
    if (c.timed) {
        EXPECT_GE(duration_ms, delay_ms);
    } else {
        EXPECT_LT(duration_ms, delay_ms);
    }
}

INSTANTIATE_TEST_SUITE_P(
    table, timed_interval,
    testing::Values(runtime_step{"device_count", "cudaGetDeviceCount#1", false},
                    runtime_step{"set_device", "cudaSetDevice#1", false},
                    runtime_step{"properties", "cudaGetDeviceProperties#1", false},
                    runtime_step{"malloc_xor", "cudaMalloc#1", false},
                    runtime_step{"malloc_sum", "cudaMalloc#2", false},
                    runtime_step{"memset_xor", "cudaMemset#1", false},
                    runtime_step{"memset_sum", "cudaMemset#2", false},
                    runtime_step{"launch_configuration", "__cudaPushCallConfiguration#1", true},
                    runtime_step{"launch", "__cudaLaunchKernel#1", true},
                    runtime_step{"launch_check", "cudaGetLastError#1", true},
                    runtime_step{"synchronize", "cudaDeviceSynchronize#1", true},
                    runtime_step{"memcpy_xor", "cudaMemcpy#1", true},
                    runtime_step{"memcpy_sum", "cudaMemcpy#2", true},
                    runtime_step{"free_xor", "cudaFree#1", true},
                    runtime_step{"free_sum", "cudaFree#2", true},
                    runtime_step{"bus_id", "cudaDeviceGetPCIBusId#1", false}),
    case_name{});

struct output_case {
    const char* name;
    std::string shell_command;  // $0 is the helper, $1 the seed
    std::string scenario;
};

void PrintTo(const output_case& c, std::ostream* os) {
    *os << c.name;
}

class unwritable_output : public testing::TestWithParam<output_case> {};

// Status 0 promises a written report.
TEST_P(unwritable_output, is_a_failure) {
    const output_case& c = GetParam();
    const process_result result =
        run_process("/bin/bash", {"-c", c.shell_command, MAVO_STANDIN_HELPER_PATH, zero_seed},
                    {"CUDA_STANDIN_SCENARIO=" + c.scenario});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.standard_error, prefix + "failed to write the report to standard output\n");
}

INSTANTIATE_TEST_SUITE_P(
    table, unwritable_output,
    testing::Values(
        output_case{"full_device", R"(exec "$0" --seed "$1" --units 1 --json > /dev/full)", ""},
        // The reader has long gone when the report is written.
        output_case{"closed_pipe", R"(set -o pipefail; "$0" --seed "$1" --units 1 --json | true)",
                    "delay=cudaGetDeviceCount#1:300"}),
    case_name{});

}  // namespace
