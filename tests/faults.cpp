// Faults a process must survive, or die of, as Windows defines, each in a
// child process whose end this program checks: a read of an unmapped address
// reaches the child's own handler with its address (what an emulator's signal
// frames must carry to Wine), and a write past a local array ends it with
// STATUS_STACK_BUFFER_OVERRUN, past every handler (the deliverables' guard).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <process.h>

namespace {

// Read at run time, so that the compiler cannot see the faults coming.
int *volatile unmapped = (int *)0x10;
volatile size_t overrun_length = 64;

LONG CALLBACK on_exception(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
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
    if (argc > 1) { // the child, told its fault last (a path with spaces arrives in pieces)
        AddVectoredExceptionHandler(1, on_exception);
        return strcmp(argv[argc - 1], "overrun") == 0 ? overrun() : *unmapped;
    }
    static const struct {
        const char *fault;
        unsigned expected;
    } cases[] = {{"access-violation", 0}, {"overrun", (unsigned)STATUS_STACK_BUFFER_OVERRUN}};
    int failures = 0;
    for (const auto &row : cases) {
        unsigned code = (unsigned)_spawnl(_P_WAIT, argv[0], argv[0], row.fault, nullptr);
        printf("%s: the child ended with 0x%08x (expected 0x%08x)\n", row.fault, code, row.expected);
        failures += code != row.expected;
    }
    return failures != 0;
}
