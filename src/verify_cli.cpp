#include "verify_cli.h"

parsed_verify_arguments parse_verify_arguments(int argc, const char* const* argv) {
    parsed_verify_arguments parsed;
    verify_options& options = parsed.options;
    for (int i = 1; i < argc;) {
        const std::string_view argument = argv[i];
        const bool has_value = i + 1 < argc;
        if (argument == "--seed" && has_value) {
            options.seed_text = argv[i + 1];
        } else if (argument == "--units" && has_value) {
            options.units = convert_count(argv[i + 1]);
        } else if (argument == "--report" && has_value) {
            options.report_path = argv[i + 1];
        } else if (argument == "--threads" && has_value) {
            options.threads = convert_count(argv[i + 1]);
        } else if (argument == "--help" || argument == "-h") {
            parsed.action = cli_action::help;
            return parsed;
        } else {
            throw argument_error("unknown or incomplete argument: " + std::string(argument));
        }
        i += 2;
    }
    const bool threads_valid = !options.threads || (*options.threads - 1 < max_threads);
    const bool accepted =
        !options.seed_text.empty() && options.units - 1 <= max_units - 1 && threads_valid;
    parsed.action = accepted ? cli_action::run : cli_action::usage_error;
    return parsed;
}
