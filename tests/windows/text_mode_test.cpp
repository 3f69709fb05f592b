// On Windows the report leaves through the text-mode standard output, so its line ends in CR LF.
// The test runs this program again as a child whose standard output is a file, the way a caller
// redirects the helper, and reads the bytes back.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "report.h"
#include "this_program.h"

namespace {

const char* const write_report_switch = "--write-report";

const run_report sample{0x732a85d5f21f916e,
                        0x0a830c0420b7813e,
                        "NVIDIA GeForce RTX 4060 Laptop GPU",
                        "0000:01:00.0",
                        7,
                        2};

std::string child_output(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(run_this_program(write_report_switch, file), 0u);
    CloseHandle(file);
    std::ifstream written(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(written), {});
}

TEST(text_mode, report_line_ends_in_crlf) {
    EXPECT_EQ(child_output(testing::TempDir() + "report.txt"),
              "{\"xor_value\":\"732a85d5f21f916e\",\"sum_value\":\"0a830c0420b7813e\","
              "\"gpu_name\":\"NVIDIA GeForce RTX 4060 Laptop GPU\",\"gpu_uuid\":\"0000:01:00.0\","
              "\"duration_ms\":7,\"units\":2}\r\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == write_report_switch) {
        write_report(std::cout, sample);
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
