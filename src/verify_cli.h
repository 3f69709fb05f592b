// Command-line arguments of the verifier.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli.h"

inline constexpr std::string_view verify_usage_line =
    "mavo-edge-verify --seed <64-hex> --units <count> [--report <file>|-] [--threads <n>]\n";

inline constexpr std::uint64_t max_threads = 1024;

struct verify_options {
    std::string seed_text;
    std::uint64_t units = 0;
    std::optional<std::string> report_path;  // "-" is standard input
    std::optional<std::uint64_t> threads;    // every hardware thread when absent
};

struct parsed_verify_arguments {
    cli_action action = cli_action::usage_error;
    verify_options options;
};

// Same rules as the helper's scan: unknown or incomplete arguments throw argument_error, counts
// convert with convert_count; a missing seed or units, units outside 1 to 100000000 or threads
// outside 1 to max_threads are usage errors.
parsed_verify_arguments parse_verify_arguments(int argc, const char* const* argv);
