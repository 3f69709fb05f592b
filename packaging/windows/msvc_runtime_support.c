// What cudart_static.lib, compiled by MSVC with /GS, takes from MSVC's own static C runtime and
// mingw-w64 lacks: the stack cookie, its check, the unwinder's cookie check and the floating-point
// marker. Everything else it needs comes from the same Universal C Runtime that MSVC programs use.
#define _CRT_RAND_S
#include <windows.h>

#include <stdint.h>
#include <stdlib.h>

// MSVC's marker that a program uses floating point; only the symbol matters.
int _fltused = 0x9875;

// MSVC's initial value; mavo_windows_entry replaces it before any checked function runs.
static const uintptr_t initial_cookie = 0x00002B992DDFA232ull;
uintptr_t __security_cookie = initial_cookie;

int mainCRTStartup(void);
void __security_check_cookie(uintptr_t cookie);

// The program's entry point: a random cookie first, then mingw-w64's start-up, which runs the
// static constructors (the CUDA runtime's registration among them) and main.
int mavo_windows_entry(void) {
    unsigned int low = 0;
    unsigned int high = 0;
    if (rand_s(&low) != 0 || rand_s(&high) != 0) {
        __fastfail(FAST_FAIL_FATAL_APP_EXIT);
    }
    // Like MSVC on x64: the top 16 bits stay clear, and the cookie never keeps its known value.
    uintptr_t cookie = (((uintptr_t)high << 32) | low) & 0x0000FFFFFFFFFFFFull;
    __security_cookie = cookie == initial_cookie || cookie == 0 ? initial_cookie + 1 : cookie;
    return mainCRTStartup();
}

// Called with the frame's cookie in RCX, often while RAX or XMM0 holds the caller's return value,
// so it touches nothing else: a mismatch ends the process at once, as MSVC's does.
__asm__(
    ".text\n"
    ".globl __security_check_cookie\n"
    ".def __security_check_cookie; .scl 2; .type 32; .endef\n"
    "__security_check_cookie:\n"
    "    cmpq __security_cookie(%rip), %rcx\n"
    "    jne 1f\n"
    "    ret\n"
    "1:  movl $2, %ecx\n"  // FAST_FAIL_STACK_COOKIE_CHECK_FAILURE
    "    int $0x29\n");    // __fastfail

// The exception handler MSVC gives functions that hold a cookie: while the stack unwinds through
// such a frame, its cookie is checked too. The handler data holds the cookie's offset (flags in the
// low 3 bits) and, with flag 4, the base offset and alignment of an aligned frame.
EXCEPTION_DISPOSITION __GSHandlerCheck(EXCEPTION_RECORD* record, void* establisher_frame,
                                       CONTEXT* context, DISPATCHER_CONTEXT* dispatcher) {
    (void)record;
    (void)context;
    const ULONG* data = (const ULONG*)dispatcher->HandlerData;
    const char* frame = (const char*)establisher_frame;
    const char* cookie_base = frame;
    if (data[0] & 4) {
        cookie_base = (const char*)((uintptr_t)(frame + (LONG)data[1]) & -(uintptr_t)data[2]);
    }
    // The cookie was mixed with the frame register's value: the frame plus 16 * FrameOffset from
    // the function's UNWIND_INFO (byte 3: FrameRegister in the low nibble, FrameOffset above).
    const BYTE* unwind_info =
        (const BYTE*)(dispatcher->ImageBase + dispatcher->FunctionEntry->UnwindData);
    uintptr_t mixed_with = (uintptr_t)frame;
    if ((unwind_info[3] & 0x0F) != 0) {
        mixed_with += (uintptr_t)(unwind_info[3] >> 4) * 16;
    }
    const uintptr_t stored = *(const uintptr_t*)(cookie_base + (LONG)(data[0] & ~7u));
    __security_check_cookie(stored ^ mixed_with);
    return ExceptionContinueSearch;
}
