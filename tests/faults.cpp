// Faults a process must survive or die of as Windows defines, each run in a
// child process of this program, which checks how the child ended:
//   faults access-violation   a read of an unmapped address reaches the
//                             program's own handler as an access violation
//                             with its address (what an emulator's signal
//                             frames must carry to Wine's fault handlers)
//   faults overrun            a write past a local array ends the process
//                             with STATUS_STACK_BUFFER_OVERRUN (the stack guard)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const ULONG_PTR Unmapped = 0x10;
// Read at run time, so that the compiler cannot see the faults coming.
int *volatile unmapped = (int *)Unmapped;
volatile size_t overrun_length = 64;

LONG CALLBACK on_exception(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    bool expected = record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2 &&
                    record->ExceptionInformation[0] == 0 && record->ExceptionInformation[1] == Unmapped;
    printf("caught 0x%08lx, reading %#lx\n", record->ExceptionCode,
           record->NumberParameters >= 2 ? (unsigned long)record->ExceptionInformation[1] : 0ul);
    fflush(stdout);
    ExitProcess(expected ? 0 : 1);
}

__attribute__((noinline)) char overrun(size_t length)
{
    volatile char buffer[8];
    for (size_t index = 0; index < length; ++index) buffer[index] = 'x';
    return buffer[0];
}

int fault(const std::string &which)
{
    if (which == "access-violation") {
        AddVectoredExceptionHandler(1, on_exception);
        return *unmapped;
    }
    if (which == "overrun") overrun(overrun_length);
    return 2; // the process should have ended
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3) return fault(argv[1]);
    if (argc != 2) return 2;
    const std::string which = argv[1];
    const DWORD expected = which == "overrun" ? STATUS_STACK_BUFFER_OVERRUN : 0;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = "\"" + std::string(self) + "\" " + which + " child";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        printf("FAILED: CreateProcess: %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    printf("%s: the child ended with 0x%08lx (expected 0x%08lx)\n", which.c_str(), code, expected);
    return code == expected ? 0 : 1;
}
