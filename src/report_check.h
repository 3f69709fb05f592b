// What the verifier and its library share beyond the parser: a report's line and the comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report_parser.h"
#include "workload.h"

// A report line is a few hundred bytes; reports come from machines the caller may not control, so
// anything longer is refused without reading the rest.
inline constexpr std::size_t max_report_bytes = 65536;

// The one line of a report as read (at most max_report_bytes + 1 bytes, so that a longer one is
// told apart), without its line end (LF, or CR LF from a Windows helper). Throws
// report_format_error.
std::string_view report_line(std::string_view input);

struct field_mismatch {
    std::string_view field;
    std::string expected;
    std::string found;

    // As the verifier prints it after its name.
    std::string message() const;
};

// The fields among xor_value, sum_value and units, in that order, in which the report differs from
// the digests and unit count expected.
std::vector<field_mismatch> compare_report(const report_fields& report, const digests& expected,
                                           std::uint64_t units);
