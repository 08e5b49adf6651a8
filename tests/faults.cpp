// Faults a process must survive, or die of, as Windows defines; each is run
// in a child process, whose end the parent checks.  "access-violation": a read
// of an unmapped address reaches the program's own handler with its address
// (what an emulator's signal frames must carry to Wine).  "overrun": a write
// past a local array ends the process with STATUS_STACK_BUFFER_OVERRUN.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// Read at run time, so that the compiler cannot see the faults coming.
int *volatile unmapped = (int *)0x10;
volatile size_t overrun_length = 64;

LONG CALLBACK on_exception(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    printf("caught 0x%08lx\n", record->ExceptionCode);
    ExitProcess(record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters == 2 &&
                        record->ExceptionInformation[0] == 0 && record->ExceptionInformation[1] == (ULONG_PTR)unmapped
                    ? 0 : 1);
}

__attribute__((noinline)) char overrun()
{
    volatile char buffer[8];
    for (size_t index = 0; index < overrun_length; ++index) buffer[index] = 'x';
    return buffer[0];
}

} // namespace

int main(int argc, char **argv)
{
    const std::string which = argc > 1 ? argv[1] : "";
    if (argc > 2) { // the child
        AddVectoredExceptionHandler(1, on_exception);
        return which == "overrun" ? overrun() : *unmapped;
    }
    std::string command = "\"" + std::string(argv[0]) + "\" " + which + " child";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    DWORD code = 1, expected = which == "overrun" ? STATUS_STACK_BUFFER_OVERRUN : 0;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    printf("%s: the child ended with 0x%08lx (expected 0x%08lx)\n", which.c_str(), code, expected);
    return code == expected ? 0 : 1;
}
