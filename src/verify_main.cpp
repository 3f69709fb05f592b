// mavo-edge-verify: recomputes the helper's digests on the CPU and checks a report against them.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "parallel_digests.h"
#include "report.h"
#include "report_check.h"
#include "report_parser.h"
#include "standard_input.h"
#include "verify_cli.h"

namespace {

class report_input_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void cannot_read(const std::string& path, int error) {
    throw report_input_error("cannot read the report from " + path + ": " + std::strerror(error));
}

// The report's line: what the file or standard input holds, up to one byte past the limit.
std::string read_report_line(const std::string& path) {
    const auto close = [](std::FILE* file) {
        if (file != stdin) {
            std::fclose(file);
        }
    };
    errno = 0;
    const std::unique_ptr<std::FILE, decltype(close)> file(
        path == "-" ? binary_standard_input() : std::fopen(path.c_str(), "rb"), close);
    if (!file) {
        cannot_read(path, errno);
    }
    std::string text(max_report_bytes + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    if (std::ferror(file.get()) != 0) {
        cannot_read(path, errno);
    }
    return std::string(report_line(text));
}

unsigned thread_count(const verify_options& options) {
    if (options.threads) {
        return static_cast<unsigned>(*options.threads);
    }
    return std::max(1U, std::thread::hardware_concurrency());
}

}  // namespace

int main(int argc, char** argv) try {
#ifdef SIGPIPE
    // A reader that has gone must fail the digests' write, not end the process without a word.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const parsed_verify_arguments parsed = parse_verify_arguments(argc, argv);
    if (parsed.action != cli_action::run) {
        std::cerr << verify_usage_line;
        return parsed.action == cli_action::help ? 0 : 2;
    }
    const verify_options& options = parsed.options;
    const std::uint64_t kernel_seed = decode_seed(options.seed_text);
    const digests expected = parallel_digests(kernel_seed, options.units, thread_count(options));
    if (!options.report_path) {
        std::cout << R"({"xor_value":")" << hex64(expected.xor_digest) << R"(","sum_value":")"
                  << hex64(expected.sum_digest) << R"(","units":)" << options.units << "}\n"
                  << std::flush;
        if (!std::cout) {
            throw report_error("failed to write the digests to standard output");
        }
        return 0;
    }
    const report_fields report = parse_report(read_report_line(*options.report_path));
    const std::vector<field_mismatch> mismatches = compare_report(report, expected, options.units);
    for (const field_mismatch& mismatch : mismatches) {
        std::cerr << "mavo-edge-verify: " << mismatch.message() << '\n';
    }
    return mismatches.empty() ? 0 : 1;
} catch (const std::exception& error) {
    std::cerr << "mavo-edge-verify: " << error.what() << '\n';
    return 1;
}
