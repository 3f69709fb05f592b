#include "cli.h"

#include <cerrno>
#include <cstdlib>

std::uint64_t convert_count(const char* text) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text) {
        throw std::invalid_argument("invalid stoull argument");
    }
    if (errno == ERANGE) {
        throw std::out_of_range("stoull argument out of range");
    }
    return value;
}

namespace {

bool accepted(const run_options& options) {
    return options.json && !options.seed_text.empty() && options.units - 1 <= max_units - 1;
}

}  // namespace

parsed_arguments parse_arguments(int argc, const char* const* argv) {
    parsed_arguments parsed;
    run_options& options = parsed.options;
    for (int i = 1; i < argc;) {
        const std::string_view argument = argv[i];
        const bool has_value = i + 1 < argc;
        if (argument == "--seed" && has_value) {
            options.seed_text = argv[i + 1];
            i += 2;
        } else if (argument == "--units" && has_value) {
            options.units = convert_count(argv[i + 1]);
            i += 2;
        } else if (argument == "--json") {
            options.json = true;
            i += 1;
        } else if (argument == "--help" || argument == "-h") {
            parsed.action = cli_action::help;
            return parsed;
        } else {
            throw argument_error("unknown or incomplete argument: " + std::string(argument));
        }
    }
    parsed.action = accepted(options) ? cli_action::run : cli_action::usage_error;
    return parsed;
}
