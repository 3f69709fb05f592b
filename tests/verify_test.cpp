// mavo-edge-verify through its binary: digests, report checks, messages and statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/case_name.h"
#include "support/process.h"

namespace {

const std::string usage =
    "mavo-edge-verify --seed <64-hex> --units <count> [--report <file>|-] [--threads <n>]\n";
const std::string prefix = "mavo-edge-verify: ";
const std::string zero_seed(64, '0');
const std::string verifier = program_under_test(MAVO_VERIFY_PATH);

struct vector_row {
    std::string seed_text;
    std::string units;
    std::string xor_value;
    std::string sum_value;
};

std::vector<vector_row> published_vectors() {
    std::ifstream file(MAVO_DIGEST_VECTORS);
    std::vector<vector_row> rows;
    std::string line;
    std::getline(file, line);  // header
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        vector_row row;
        fields >> row.seed_text >> row.units >> row.xor_value >> row.sum_value;
        rows.push_back(row);
    }
    return rows;
}

std::string digest_line(const vector_row& row) {
    return R"({"xor_value":")" + row.xor_value + R"(","sum_value":")" + row.sum_value +
           R"(","units":)" + row.units + "}\n";
}

TEST(verify_digests, every_published_vector_with_any_thread_count) {
    const std::vector<vector_row> rows = published_vectors();
    ASSERT_EQ(rows.size(), 20U);
    for (const vector_row& row : rows) {
        for (const char* threads : {"1", "3", "64"}) {
            const process_result result = run_process(
                verifier, {"--seed", row.seed_text, "--units", row.units, "--threads", threads});
            EXPECT_EQ(result.exit_status, 0);
            EXPECT_EQ(result.standard_output, digest_line(row))
                << row.seed_text << " " << row.units << " threads " << threads;
            EXPECT_EQ(result.standard_error, "");
        }
    }
}

TEST(verify_digests, default_thread_count) {
    const process_result result = run_process(verifier, {"--units", "3", "--seed", zero_seed});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.standard_output,
              digest_line({zero_seed, "3", "e472b00bee88c7a0", "0a830c0420b7813e"}));
}

// A report for 3 units of the zero seed, with one piece replaced.
const std::string one = "e472b00bee88c7a0";
const std::string three = "0a830c0420b7813e";
std::string report(const std::string& xor_value = one, const std::string& sum_value = three,
                   const std::string& units = "3") {
    return R"({"xor_value":")" + xor_value + R"(","sum_value":")" + sum_value +
           R"(","gpu_name":"NVIDIA \"H\\100\" \u0007 )"
           "\xe2\x84\xa2"
           R"(","gpu_uuid":"00000000:01:00.0","duration_ms":12,"units":)" +
           units + "}";
}

struct report_case {
    const char* name;
    std::string file_content;
    int exit_status;
    std::string standard_error;
};

void PrintTo(const report_case& c, std::ostream* os) {
    *os << c.name;
}

class report_checks : public testing::TestWithParam<report_case> {};

TEST_P(report_checks, status_and_messages) {
    const report_case& c = GetParam();
    const std::string path = testing::TempDir() + "report_" + c.name + ".json";
    std::ofstream(path, std::ios::binary) << c.file_content;
    const process_result result =
        run_process(verifier, {"--seed", zero_seed, "--units", "3", "--report", path});
    std::remove(path.c_str());
    EXPECT_EQ(result.exit_status, c.exit_status);
    EXPECT_EQ(result.standard_error, c.standard_error);
    EXPECT_EQ(result.standard_output, "");
}

// The failure line for `content`, at the offset where `culprit` first appears in it.
std::string malformed(const std::string& what, const std::string& content = "",
                      const std::string& culprit = "") {
    const std::string at =
        culprit.empty() ? "" : " at byte " + std::to_string(content.find(culprit));
    return prefix + "malformed report: " + what + at + "\n";
}

const std::string keys_swapped =
    R"({"sum_value":"0a830c0420b7813e","xor_value":"e472b00bee88c7a0"})";
const std::string key_missing =
    R"({"xor_value":"e472b00bee88c7a0","sum_value":"0a830c0420b7813e","gpu_name":"","gpu_uuid":"","units":3})";
const std::string extra_key =
    R"({"xor_value":"e472b00bee88c7a0","sum_value":"0a830c0420b7813e","gpu_name":"","gpu_uuid":"","duration_ms":1,"units":3,"x":1})";
// A matching report whose name is `name` as it stands between the quotes (escapes or raw bytes).
std::string with_name(const std::string& name) {
    return R"({"xor_value":"e472b00bee88c7a0","sum_value":"0a830c0420b7813e","gpu_name":")" + name +
           R"(","gpu_uuid":"","duration_ms":1,"units":3})";
}
const std::string raw_control_byte = with_name("\x07");
const std::string bad_escape = with_name(R"(\x)");
// A report that ends within a \u escape: after two digits, and after a digit and a non-digit.
std::string cut_after(const std::string& escape) {
    const std::string whole = with_name(escape);
    return whole.substr(0, whole.find(escape) + escape.size());
}
const std::string u_escape_cut_off = cut_after(R"(\u12)");
const std::string u_escape_cut_at_non_digit = cut_after(R"(\u1x)");

INSTANTIATE_TEST_SUITE_P(
    table, report_checks,
    testing::Values(
        report_case{"match", report() + "\n", 0, ""},
        report_case{"match_without_line_end", report(), 0, ""},
        report_case{"match_with_crlf", report() + "\r\n", 0, ""},
        report_case{"match_with_json_white_space",
                    "{ \"xor_value\" : \"e472b00bee88c7a0\" , \"sum_value\":\"0a830c0420b7813e\","
                    "\"gpu_name\":\"\",\"gpu_uuid\":\"\",\"duration_ms\":1,\"units\":3 }\n",
                    0, ""},
        report_case{"xor_mismatch", report("e472b00bee88c7a1") + "\n", 1,
                    prefix + "xor_value: expected e472b00bee88c7a0, found e472b00bee88c7a1\n"},
        report_case{"all_mismatch", report("0000000000000000", "ffffffffffffffff", "4") + "\n", 1,
                    prefix + "xor_value: expected e472b00bee88c7a0, found 0000000000000000\n" +
                        prefix + "sum_value: expected 0a830c0420b7813e, found ffffffffffffffff\n" +
                        prefix + "units: expected 3, found 4\n"},
        report_case{"empty", "", 1, malformed("expected '{' at byte 0")},
        report_case{"not_json", "xor_value=1", 1, malformed("expected '{' at byte 0")},
        report_case{"two_lines", report() + "\n" + report() + "\n", 1,
                    malformed("more than one line", report() + "\n", "\n")},
        report_case{"longest_read", report() + std::string(65536 - report().size(), ' '), 0, ""},
        report_case{"too_long", report() + std::string(65537 - report().size(), ' '), 1,
                    malformed("longer than 65536 bytes at byte 65536")},
        report_case{"truncated", report().substr(0, 40), 1,
                    malformed("unterminated string at byte 40")},
        report_case{"trailing_text", report() + " ]", 1,
                    malformed("unexpected text after the object", report() + " ]", "]")},
        report_case{"keys_swapped", keys_swapped, 1,
                    malformed("expected key \"xor_value\"", keys_swapped, "\"sum_value\"")},
        report_case{"key_missing", key_missing, 1,
                    malformed("expected key \"duration_ms\"", key_missing, "\"units\"")},
        report_case{"extra_key", extra_key, 1, malformed("expected '}'", extra_key, ",\"x\"")},
        report_case{"upper_case_digest", report("E472B00BEE88C7A0"), 1,
                    malformed("xor_value is not 16 lower-case hex digits",
                              report("E472B00BEE88C7A0"), "\"E472")},
        report_case{"short_digest", report("e472b00bee88c7a"), 1,
                    malformed("xor_value is not 16 lower-case hex digits",
                              report("e472b00bee88c7a"), "\"e472")},
        report_case{"units_as_string", report(one, three, "\"3\""), 1,
                    malformed("expected a whole number", report(one, three, "\"3\""), "\"3\"}")},
        report_case{"units_negative", report(one, three, "-3"), 1,
                    malformed("expected a whole number", report(one, three, "-3"), "-3}")},
        report_case{"units_fraction", report(one, three, "3.0"), 1,
                    malformed("expected a whole number", report(one, three, "3.0"), "3.0}")},
        report_case{"units_leading_zero", report(one, three, "03"), 1,
                    malformed("expected a whole number", report(one, three, "03"), "03}")},
        report_case{"units_beyond_64_bits", report(one, three, "18446744073709551616"), 1,
                    malformed("number out of range", report(one, three, "18446744073709551616"),
                              "18446744073709551616")},
        report_case{
            "units_leading_zero_beyond_64_bits", report(one, three, "018446744073709551616"), 1,
            malformed("expected a whole number", report(one, three, "018446744073709551616"),
                      "018446744073709551616")},
        report_case{"raw_control_byte_in_name", raw_control_byte, 1,
                    malformed("control character in string", raw_control_byte, "\x07")},
        report_case{"raw_tab_in_name", with_name("a\t"), 1,
                    malformed("control character in string", with_name("a\t"), "\t")},
        report_case{"raw_0x1f_in_name", with_name("a\x1f"), 1,
                    malformed("control character in string", with_name("a\x1f"), "\x1f")},
        report_case{"surrogate_pair", with_name(R"(\ud83d\ude00)"), 0, ""},
        report_case{"lone_low_surrogate", with_name(R"(\udc00)"), 1,
                    malformed("unpaired surrogate", with_name(R"(\udc00)"), R"(\udc00)")},
        report_case{"high_surrogate_then_text", with_name(R"(\ud800x)"), 1,
                    malformed("unpaired surrogate", with_name(R"(\ud800x)"), R"(\ud800)")},
        report_case{"high_surrogate_then_high", with_name(R"(\ud800\ud800)"), 1,
                    malformed("unpaired surrogate", with_name(R"(\ud800\ud800)"), R"(\ud800)")},
        report_case{"bad_escape_in_name", bad_escape, 1,
                    malformed("invalid escape", bad_escape, "x\"")},
        report_case{
            "u_escape_cut_off", u_escape_cut_off, 1,
            malformed("unterminated string at byte " + std::to_string(u_escape_cut_off.size()))},
        report_case{"u_escape_cut_at_non_digit", u_escape_cut_at_non_digit, 1,
                    malformed("invalid \\u escape at byte " +
                              std::to_string(u_escape_cut_at_non_digit.size() - 1))}),
    case_name{});

struct input_case {
    const char* name;
    std::string shell_command;  // $0 is the verifier, $1 a matching report, $2 the seed
    int exit_status;
    std::string standard_error;
};

void PrintTo(const input_case& c, std::ostream* os) {
    *os << c.name;
}

class report_inputs : public testing::TestWithParam<input_case> {};

TEST_P(report_inputs, status_and_messages) {
    const input_case& c = GetParam();
    const process_result result =
        run_process("/bin/sh", {"-c", c.shell_command, verifier, report(), zero_seed});
    EXPECT_EQ(result.exit_status, c.exit_status);
    EXPECT_EQ(result.standard_error, c.standard_error);
}

const std::string check = R"("$0" --seed "$2" --units 3 --report )";
const std::string unwritable = prefix + "failed to write the digests to standard output\n";
std::string cannot_read(const std::string& path, const std::string& reason) {
    return prefix + "cannot read the report from " + path + ": " + reason + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    table, report_inputs,
    testing::Values(input_case{"standard_input", R"(printf '%s\n' "$1" | )" + check + "-", 0, ""},
                    // Refused after the limit: the rest of an endless input is never read.
                    input_case{"endless_standard_input", check + "- < /dev/zero", 1,
                               malformed("longer than 65536 bytes at byte 65536")},
                    input_case{"missing_file", check + "/nonexistent/r.json", 1,
                               cannot_read("/nonexistent/r.json", "No such file or directory")},
                    input_case{"directory", check + "/", 1, cannot_read("/", "Is a directory")},
                    input_case{"directory_as_standard_input", check + "- < /", 1,
                               cannot_read("-", "Is a directory")},
                    input_case{"closed_standard_input", check + "- <&-", 1,
                               cannot_read("-", "Bad file descriptor")},
                    input_case{"full_standard_output", R"("$0" --seed "$2" --units 3 >/dev/full)",
                               1, unwritable},
                    // Standard output is a pipe whose read end was closed before the start.
                    input_case{"closed_pipe",
                               R"(exec python3 -c 'import os, subprocess, sys
reader, writer = os.pipe()
os.close(reader)
sys.exit(subprocess.run(sys.argv[1:], stdout=writer).returncode)' "$0" --seed "$2" --units 3)",
                               1, unwritable}),
    case_name{});

struct usage_case {
    const char* name;
    std::vector<std::string> arguments;
    int exit_status;
    std::string standard_error;
};

void PrintTo(const usage_case& c, std::ostream* os) {
    *os << c.name;
}

class verify_usage : public testing::TestWithParam<usage_case> {};

TEST_P(verify_usage, status_and_messages) {
    const usage_case& c = GetParam();
    const process_result result = run_process(verifier, c.arguments);
    EXPECT_EQ(result.exit_status, c.exit_status);
    EXPECT_EQ(result.standard_error, c.standard_error);
    EXPECT_EQ(result.standard_output, "");
}

INSTANTIATE_TEST_SUITE_P(
    table, verify_usage,
    testing::Values(
        usage_case{"help", {"--help"}, 0, usage},
        usage_case{"short_help", {"--seed", zero_seed, "-h"}, 0, usage},
        usage_case{"no_arguments", {}, 2, usage},
        usage_case{"seed_missing", {"--units", "3"}, 2, usage},
        usage_case{"units_missing", {"--seed", zero_seed}, 2, usage},
        usage_case{"units_zero", {"--seed", zero_seed, "--units", "0"}, 2, usage},
        usage_case{"units_above_maximum", {"--seed", zero_seed, "--units", "100000001"}, 2, usage},
        usage_case{
            "threads_zero", {"--seed", zero_seed, "--units", "3", "--threads", "0"}, 2, usage},
        usage_case{"threads_above_maximum",
                   {"--seed", zero_seed, "--units", "3", "--threads", "1025"},
                   2,
                   usage},
        usage_case{
            "unknown_argument", {"--json"}, 1, prefix + "unknown or incomplete argument: --json\n"},
        usage_case{"report_without_path",
                   {"--seed", zero_seed, "--units", "3", "--report"},
                   1,
                   prefix + "unknown or incomplete argument: --report\n"},
        usage_case{"units_not_a_number", {"--units", "x"}, 1, prefix + "invalid stoull argument\n"},
        usage_case{"threads_beyond_64_bits",
                   {"--threads", "99999999999999999999"},
                   1,
                   prefix + "stoull argument out of range\n"},
        usage_case{"seed_length",
                   {"--seed", "abc", "--units", "3"},
                   1,
                   prefix + "seed must contain exactly 64 hexadecimal characters\n"},
        usage_case{"seed_digit",
                   {"--seed", "x" + zero_seed.substr(1), "--units", "3"},
                   1,
                   prefix + "seed contains a non-hexadecimal character\n"}),
    case_name{});

}  // namespace
