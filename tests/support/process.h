// Runs a program as a child process and captures what it writes.
#pragma once

#include <string>
#include <vector>

struct process_result {
    int exit_status = -1;  // -1 when the child did not exit normally
    std::string standard_output;
    std::string standard_error;
};

// argv[0] is `program`; `arguments` follow it verbatim (empty strings included). The child gets
// this process's environment plus `environment` ("NAME=value" entries).
process_result run_process(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment = {});
