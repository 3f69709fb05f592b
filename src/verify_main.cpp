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
#include "report_parser.h"
#include "standard_input.h"
#include "verify_cli.h"

namespace {

class report_input_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A report line is a few hundred bytes; reports come from machines the caller may not control, so
// anything longer is refused without reading the rest.
inline constexpr std::size_t max_report_bytes = 65536;

[[noreturn]] void cannot_read(const std::string& path, int error) {
    throw report_input_error("cannot read the report from " + path + ": " + std::strerror(error));
}

// The single line of a report, without its line end (LF, or CR LF from a Windows helper).
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
    if (text.size() > max_report_bytes) {
        throw report_format_error("malformed report: longer than " +
                                  std::to_string(max_report_bytes) + " bytes at byte " +
                                  std::to_string(max_report_bytes));
    }
    if (text.ends_with('\n')) {
        text.pop_back();
        if (text.ends_with('\r')) {
            text.pop_back();
        }
    }
    if (const auto line_end = text.find('\n'); line_end != std::string::npos) {
        throw report_format_error("malformed report: more than one line at byte " +
                                  std::to_string(line_end));
    }
    return text;
}

std::vector<std::string> mismatches(const report_fields& report, const digests& expected,
                                    std::uint64_t units) {
    std::vector<std::string> lines;
    const auto compare = [&lines](const char* field, const std::string& want,
                                  const std::string& found) {
        if (want != found) {
            lines.push_back(std::string(field) + ": expected " + want + ", found " + found);
        }
    };
    compare("xor_value", hex64(expected.xor_digest), report.xor_value);
    compare("sum_value", hex64(expected.sum_digest), report.sum_value);
    compare("units", std::to_string(units), std::to_string(report.units));
    return lines;
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
    const std::vector<std::string> lines = mismatches(report, expected, options.units);
    for (const std::string& line : lines) {
        std::cerr << "mavo-edge-verify: " << line << '\n';
    }
    return lines.empty() ? 0 : 1;
} catch (const std::exception& error) {
    std::cerr << "mavo-edge-verify: " << error.what() << '\n';
    return 1;
}
