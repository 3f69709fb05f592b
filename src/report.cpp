#include "report.h"

#include <ostream>

namespace {

constexpr std::string_view hex_digits = "0123456789abcdef";

// The two-character escapes the report uses; \b and \f are written as \u00XX instead.
const char* short_escape(unsigned char byte) {
    switch (byte) {
        case '\t': return "\\t";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '"': return "\\\"";
        case '\\': return "\\\\";
        default: return nullptr;
    }
}

}  // namespace

std::string hex64(std::uint64_t value) {
    std::string text(16, '0');
    for (auto digit = text.rbegin(); digit != text.rend(); ++digit, value >>= 4) {
        *digit = hex_digits[value & 0xF];
    }
    return text;
}

std::string json_escape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (const char* escape = short_escape(byte)) {
            escaped += escape;
        } else if (byte < 0x20) {
            escaped += "\\u00";
            escaped += hex_digits[byte >> 4];
            escaped += hex_digits[byte & 0xF];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void write_report(std::ostream& out, const run_report& report) {
    out << R"({"xor_value":")" << hex64(report.xor_digest) << R"(","sum_value":")"
        << hex64(report.sum_digest) << R"(","gpu_name":")" << json_escape(report.device_name)
        << R"(","gpu_uuid":")" << json_escape(report.bus_id) << R"(","duration_ms":)"
        << report.duration_ms << R"(,"units":)" << report.units << "}\n";
    // Status 0 promises a written report, so a full or closed stdout must not pass silently.
    out.flush();
    if (!out) {
        throw report_error("failed to write the report to standard output");
    }
}
