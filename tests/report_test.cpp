#include "report.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/case_name.h"

namespace {

using namespace std::string_literals;

struct escape_case {
    const char* name;
    std::string raw;
    std::string escaped;
};

void PrintTo(const escape_case& c, std::ostream* os) {
    *os << c.name;
}

class json_escaping : public testing::TestWithParam<escape_case> {};

TEST_P(json_escaping, maps_each_byte_class) {
    EXPECT_EQ(json_escape(GetParam().raw), GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    table, json_escaping,
    testing::Values(
        escape_case{"empty", "", ""}, escape_case{"tab", "\t", "\\t"},
        escape_case{"line_feed", "\n", "\\n"}, escape_case{"carriage_return", "\r", "\\r"},
        escape_case{"quotation_mark", "\"", "\\\""}, escape_case{"backslash", "\\", "\\\\"},
        escape_case{"nul", "\0"s, "\\u0000"}, escape_case{"bell", "\x07", "\\u0007"},
        escape_case{"backspace_has_no_short_form", "\b", "\\u0008"},
        escape_case{"form_feed_has_no_short_form", "\f", "\\u000c"},
        escape_case{"escape", "\x1b", "\\u001b"}, escape_case{"unit_separator", "\x1f", "\\u001f"},
        escape_case{"space", " ", " "}, escape_case{"solidus_unescaped", "/", "/"},
        escape_case{"tilde", "~", "~"}, escape_case{"delete_unchanged", "\x7f", "\x7f"},
        escape_case{"utf8_unchanged", "GeForce \xe2\x84\xa2 \xc3\xa9",
                    "GeForce \xe2\x84\xa2 \xc3\xa9"},
        escape_case{"invalid_utf8_unchanged", "\x80\xfe\xff", "\x80\xfe\xff"},
        escape_case{"mixed", "A\"B\\C\x01", "A\\\"B\\\\C\\u0001"}),
    case_name{});

TEST(hex64, sixteen_lower_case_digits_at_the_bounds) {
    EXPECT_EQ(hex64(0), "0000000000000000");
    EXPECT_EQ(hex64(1), "0000000000000001");
    EXPECT_EQ(hex64(0x0a830c0420b7813e), "0a830c0420b7813e");
    EXPECT_EQ(hex64(0x8000000000000000), "8000000000000000");
    EXPECT_EQ(hex64(0xffffffffffffffff), "ffffffffffffffff");
}

TEST(write_report, writes_the_whole_line) {
    const run_report report{
        0x732a85d5f21f916e, 0x0a830c0420b7813e, "NVIDIA \"X\"\\\x07", "00000000:01:00.0", 1234,
        100000000};
    std::ostringstream out;
    write_report(out, report);
    EXPECT_EQ(out.str(),
              "{\"xor_value\":\"732a85d5f21f916e\",\"sum_value\":\"0a830c0420b7813e\","
              "\"gpu_name\":\"NVIDIA \\\"X\\\"\\\\\\u0007\",\"gpu_uuid\":\"00000000:01:00.0\","
              "\"duration_ms\":1234,\"units\":100000000}\n");
}

TEST(write_report, empty_texts_stay_empty_strings) {
    const run_report report{0, 0xffffffffffffffff, "", "", 1, 1};
    std::ostringstream out;
    write_report(out, report);
    EXPECT_EQ(out.str(),
              "{\"xor_value\":\"0000000000000000\",\"sum_value\":\"ffffffffffffffff\","
              "\"gpu_name\":\"\",\"gpu_uuid\":\"\",\"duration_ms\":1,\"units\":1}\n");
}

TEST(write_report, a_failed_stream_is_a_failure) {
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    try {
        write_report(out, run_report{});
        FAIL() << "no failure";
    } catch (const report_error& error) {
        EXPECT_STREQ(error.what(), "failed to write the report to standard output");
    }
}

}  // namespace
