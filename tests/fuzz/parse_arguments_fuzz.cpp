// Arbitrary argument vectors: NUL bytes separate the arguments after the program name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"mavo-edge-gpu-helper"};
    std::string current;
    for (std::size_t k = 0; k < size; ++k) {
        if (data[k] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[k]);
        }
    }
    arguments.push_back(current);
    std::vector<const char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);

    const std::string unknown = "unknown or incomplete argument: ";
    try {
        const parsed_arguments parsed =
            parse_arguments(static_cast<int>(arguments.size()), argv.data());
        const run_options& options = parsed.options;
        if (parsed.action == cli_action::run && (!options.json || options.seed_text.empty() ||
                                                 options.units < 1 || options.units > max_units)) {
            std::abort();
        }
    } catch (const argument_error& error) {
        const std::string message = error.what();
        if (message.rfind(unknown, 0) != 0) {
            std::abort();
        }
        bool named = false;
        for (std::size_t k = 1; k < arguments.size(); ++k) {
            named = named || arguments[k] == message.substr(unknown.size());
        }
        if (!named) {
            std::abort();
        }
    } catch (const std::invalid_argument& error) {
        if (std::string(error.what()) != "invalid stoull argument") {
            std::abort();
        }
    } catch (const std::out_of_range& error) {
        if (std::string(error.what()) != "stoull argument out of range") {
            std::abort();
        }
    }
    return 0;
}
