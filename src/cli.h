// Command-line arguments of the helper.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

inline constexpr std::string_view usage_line =
    "mavo-edge-gpu-helper --seed <64-hex> --units <count> --json\n";

inline constexpr std::uint64_t max_units = 100000000;

struct run_options {
    std::string seed_text;
    std::uint64_t units = 0;
    bool json = false;
};

enum class cli_action {
    run,          // options accepted
    help,         // --help or -h: usage line, status 0
    usage_error,  // a required option missing or units out of range: usage line, status 2
};

struct parsed_arguments {
    cli_action action = cli_action::usage_error;
    run_options options;
};

// An unrecognised argument, or an option without its value.
class argument_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A count as strtoull reads it in base 10: leading blanks and a sign are accepted, trailing
// characters ignored, and "-1" wraps to the largest value. Throws std::invalid_argument when no
// digit is read, std::out_of_range beyond 64 bits.
std::uint64_t convert_count(const char* text);

// Scans argv[1..argc). Throws argument_error, and std::invalid_argument or std::out_of_range for
// a --units value that cannot be converted; writes nothing.
parsed_arguments parse_arguments(int argc, const char* const* argv);
