// Runs a program as a child process and captures what it writes.
#pragma once

#include <string>
#include <vector>

struct process_result {
    int exit_status = -1;  // -1 when the child did not exit normally
    std::string standard_output;
    std::string standard_error;
};

// The program built at `built_path`, or its namesake in MAVO_TEST_PROGRAM_DIR when that is set: a
// folder of wrappers that start another build of the programs, such as a cross build under qemu
// or wine.
std::string program_under_test(const std::string& built_path);

// argv[0] is `program`; `arguments` follow it verbatim (empty strings included). The child gets
// this process's environment plus `environment` ("NAME=value" entries).
process_result run_process(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment = {});
