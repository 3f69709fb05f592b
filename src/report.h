// The one JSON line a successful run writes.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>

struct run_report {
    std::uint64_t xor_digest = 0;
    std::uint64_t sum_digest = 0;
    std::string device_name;
    std::string bus_id;
    std::int64_t duration_ms = 0;
    std::uint64_t units = 0;
};

class report_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Exactly 16 lower-case hex digits, zero-padded.
std::string hex64(std::uint64_t value);

// JSON string body (no quotes). Bytes from 0x20 up, 0x7F and non-ASCII included, pass unchanged.
std::string json_escape(std::string_view text);

// Writes the report line and flushes; throws report_error when the stream has failed.
void write_report(std::ostream& out, const run_report& report);
