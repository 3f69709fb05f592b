// Any input: parse_report either refuses it or returns fields that survive a round trip through
// the helper's own report writer.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "report.h"
#include "report_parser.h"

namespace {

bool same(const report_fields& a, const report_fields& b) {
    return a.xor_value == b.xor_value && a.sum_value == b.sum_value && a.gpu_name == b.gpu_name &&
           a.gpu_uuid == b.gpu_uuid && a.duration_ms == b.duration_ms && a.units == b.units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    report_fields fields;
    try {
        fields = parse_report(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const report_format_error&) {
        return 0;
    }
    if (fields.duration_ms > static_cast<std::uint64_t>(INT64_MAX)) {
        return 0;  // the helper's duration is signed 64-bit: no report of its has such a value
    }
    const run_report report{std::stoull(fields.xor_value, nullptr, 16),
                            std::stoull(fields.sum_value, nullptr, 16),
                            fields.gpu_name,
                            fields.gpu_uuid,
                            static_cast<std::int64_t>(fields.duration_ms),
                            fields.units};
    std::ostringstream line;
    write_report(line, report);
    std::string text = line.str();
    text.pop_back();  // the line end
    if (!same(parse_report(text), fields)) {
        std::abort();
    }
    return 0;
}
