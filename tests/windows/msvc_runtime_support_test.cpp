// The stack-cookie pieces that the Windows helper supplies to the MSVC-built CUDA runtime, linked
// with the helper's entry point. Failures must end the process at once with
// STATUS_STACK_BUFFER_OVERRUN, so those cases run in a child: this program with a switch.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "this_program.h"

extern "C" {
extern std::uintptr_t __security_cookie;
void __security_check_cookie(std::uintptr_t cookie);
EXCEPTION_DISPOSITION __GSHandlerCheck(EXCEPTION_RECORD* record, void* establisher_frame,
                                       CONTEXT* context, DISPATCHER_CONTEXT* dispatcher);
}

namespace {

const std::uintptr_t msvc_initial_cookie = 0x00002B992DDFA232ull;

// A frame as MSVC lays it out for a function that holds a cookie, and the unwind data that
// describes it: plain (the cookie at frame + 0x28, mixed with the frame itself), or with a frame
// register (RBP) at frame + 16 * 3 and a cookie slot aligned apart from the frame.
enum class frame_layout { plain, aligned_with_frame_register };

struct guarded_frame {
    alignas(64) unsigned char stack[256] = {};
    unsigned char* const frame = stack + 8;
    BYTE unwind_info[4] = {0x09, 0, 0, 0};  // version 1, handler; no frame register
    ULONG handler_data[3] = {0x28, 0, 0};   // cookie at +0x28 from the frame
    RUNTIME_FUNCTION function{};
    DISPATCHER_CONTEXT dispatcher{};

    guarded_frame(frame_layout layout, std::uintptr_t cookie) {
        const auto frame_address = reinterpret_cast<std::uintptr_t>(frame);
        std::uintptr_t slot = frame_address + 0x28;
        std::uintptr_t mixed_with = frame_address;
        if (layout == frame_layout::aligned_with_frame_register) {
            // FrameRegister 5, FrameOffset 3; the cookie at +0x48 from the aligned base, which is
            // frame + 8 rounded down to 32.
            unwind_info[3] = 0x35;
            handler_data[0] = 0x48 | 4;
            handler_data[1] = 8;
            handler_data[2] = 32;
            slot = ((frame_address + 8) & ~std::uintptr_t{31}) + 0x48;
            mixed_with = frame_address + 16 * 3;
        }
        *reinterpret_cast<std::uintptr_t*>(slot) = cookie ^ mixed_with;
        dispatcher.ImageBase = reinterpret_cast<std::uintptr_t>(unwind_info) - 0x100;
        function.UnwindData = 0x100;
        dispatcher.FunctionEntry = &function;
        dispatcher.HandlerData = handler_data;
    }
    EXCEPTION_DISPOSITION unwind() {
        return __GSHandlerCheck(nullptr, frame, nullptr, &dispatcher);
    }
};

// The child's exit code, and what it wrote (a few bytes, which the pipe holds until it ends).
DWORD child_status(const char* child_switch, std::string* output = nullptr) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    CreatePipe(&read_end, &write_end, &inherit, 0);
    const DWORD status = run_this_program(child_switch, write_end);
    CloseHandle(write_end);
    char buffer[64];
    DWORD count = 0;
    while (output != nullptr && ReadFile(read_end, buffer, sizeof buffer, &count, nullptr) &&
           count > 0) {
        output->append(buffer, count);
    }
    CloseHandle(read_end);
    return status;
}

TEST(stack_cookie, is_random_per_process_with_the_top_16_bits_clear) {
    EXPECT_NE(__security_cookie, msvc_initial_cookie);
    EXPECT_EQ(__security_cookie >> 48, 0u);
    std::string child_cookie;
    EXPECT_EQ(child_status("--print-cookie", &child_cookie), 0u);
    EXPECT_NE(child_cookie, std::to_string(__security_cookie));
}

TEST(stack_cookie, check_passes_the_cookie_and_ends_the_process_on_any_other) {
    __security_check_cookie(__security_cookie);
    EXPECT_EQ(child_status("--check-other-cookie"),
              static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN));
}

TEST(stack_cookie, unwinding_checks_the_frame_cookie) {
    for (const frame_layout layout :
         {frame_layout::plain, frame_layout::aligned_with_frame_register}) {
        EXPECT_EQ(guarded_frame(layout, __security_cookie).unwind(), ExceptionContinueSearch);
    }
    for (const char* child_switch :
         {"--unwind-overwritten-plain", "--unwind-overwritten-aligned"}) {
        EXPECT_EQ(child_status(child_switch), static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN))
            << child_switch;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string child_switch = argc == 2 ? argv[1] : "";
    if (child_switch == "--print-cookie") {
        std::printf("%llu", static_cast<unsigned long long>(__security_cookie));
        return 0;
    }
    if (child_switch == "--check-other-cookie") {
        __security_check_cookie(__security_cookie ^ 1);
        return 0;
    }
    if (child_switch == "--unwind-overwritten-plain") {
        guarded_frame(frame_layout::plain, __security_cookie ^ 0x100).unwind();
        return 0;
    }
    if (child_switch == "--unwind-overwritten-aligned") {
        guarded_frame(frame_layout::aligned_with_frame_register, __security_cookie ^ 0x100)
            .unwind();
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
