// Reads back one report line of the helper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

struct report_fields {
    std::string xor_value;
    std::string sum_value;
    std::string gpu_name;
    std::string gpu_uuid;
    std::uint64_t duration_ms = 0;
    std::uint64_t units = 0;
};

// Says what is wrong and the offset of the first byte at fault.
class report_format_error : public std::runtime_error {
  public:
    report_format_error(const std::string& what, std::size_t offset)
        : std::runtime_error("malformed report: " + what + " at byte " + std::to_string(offset)),
          offset_(offset) {}
    std::size_t offset() const noexcept { return offset_; }

  private:
    std::size_t offset_;
};

// Strict JSON for exactly the helper's object: the six keys in its order, the digests as 16
// lower-case hex digits, the texts as strings, duration and units as whole numbers. Bytes from
// 0x80 up are taken as they stand, since the helper copies device names unchanged.
report_fields parse_report(std::string_view json);
