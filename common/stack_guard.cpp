// The stack guard that -fstack-protector-strong checks, in place of the
// compiler's libssp, which costs each image about a kilobyte more (it reports
// through the C runtime's file calls).  The value is drawn at load, before
// any of our code runs, from the system's random number generator; a guard
// found overwritten ends the process at once, as Microsoft's compiler does:
// with the fail-fast trap (Windows 8 and later), which runs no code of the
// process and none it could have overwritten, else through TerminateProcess.

#include <windows.h>
#include <ntsecapi.h>

#include <cstdint>

extern "C" {

uintptr_t __stack_chk_guard;

// Not guarded itself: it changes the value that a guarded frame would check.
__attribute__((constructor, no_stack_protector)) static void draw_stack_guard()
{
    uintptr_t value = 0;
    if (!RtlGenRandom(&value, sizeof value) || value == 0)
        value = (uintptr_t)&value ^ GetTickCount() ^ ((uintptr_t)GetCurrentProcessId() << 16) ^ 0x2f8a4c1d;
    __stack_chk_guard = value;
}

// TerminateProcess is called through the import table, which lies in a
// writable section: should the call come back, the trap ends the process.
[[noreturn]] void __stack_chk_fail()
{
    if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE))
        __asm__ __volatile__("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory"); // __fastfail
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_trap();
}

} // extern "C"
