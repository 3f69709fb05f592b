// Runs this test program again as a child, with a switch that selects what the child does.
#pragma once

#include <windows.h>

#include <string>

// Waits for the child started with `child_switch` and returns its exit code; its standard output
// goes to `standard_output`, an inheritable handle.
inline DWORD run_this_program(const std::string& child_switch, HANDLE standard_output) {
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string command = std::string("\"") + program + "\" " + child_switch;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = standard_output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
        return GetLastError();
    }
    DWORD status = 0;
    WaitForSingleObject(child.hProcess, INFINITE);
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return status;
}
