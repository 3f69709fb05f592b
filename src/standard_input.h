// Standard input as raw bytes on every platform.
#pragma once

#include <cstdio>

// stdin, switched to binary mode where the C runtime would otherwise translate it (Windows text
// mode turns CR LF into LF and ends the input at byte 0x1A).
std::FILE* binary_standard_input();
