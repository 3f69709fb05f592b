#include "report_check.h"

#include "report.h"

std::string_view report_line(std::string_view input) {
    if (input.size() > max_report_bytes) {
        throw report_format_error("longer than " + std::to_string(max_report_bytes) + " bytes",
                                  max_report_bytes);
    }
    if (input.ends_with('\n')) {
        input.remove_suffix(1);
        if (input.ends_with('\r')) {
            input.remove_suffix(1);
        }
    }
    if (const auto line_end = input.find('\n'); line_end != std::string_view::npos) {
        throw report_format_error("more than one line", line_end);
    }
    return input;
}

std::string field_mismatch::message() const {
    return std::string(field) + ": expected " + expected + ", found " + found;
}

std::vector<field_mismatch> compare_report(const report_fields& report, const digests& expected,
                                           std::uint64_t units) {
    std::vector<field_mismatch> mismatches;
    const auto compare = [&mismatches](std::string_view field, std::string want,
                                       std::string found) {
        if (want != found) {
            mismatches.push_back({field, std::move(want), std::move(found)});
        }
    };
    compare("xor_value", hex64(expected.xor_digest), report.xor_value);
    compare("sum_value", hex64(expected.sum_digest), report.sum_value);
    compare("units", std::to_string(units), std::to_string(report.units));
    return mismatches;
}
