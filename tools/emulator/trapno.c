/* Preloaded into the i386 processes that qemu-user runs.  qemu writes trap
 * number -1 into every i386 signal frame, while Wine's fault handlers decide
 * by the trap number: an access violation or a guard-page fault would become
 * "unexpected trap -1".  The handlers of the fault signals are wrapped so that
 * they see the number the kernel writes, derived from the signal and its
 * code.  A software interrupt the program may not raise (int 0x29, Windows'
 * fail-fast, or int 0x2d) faults with an error code that names the vector
 * (vector * 8 + 2), by which Wine tells them apart; qemu writes vector * 16 + 2,
 * so the code is taken again from the instruction.  Built with -nostdlib
 * against the i386 libc; nothing else. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stddef.h>
#include <ucontext.h>

typedef void (*action_fn)(int, siginfo_t *, void *);
typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);

static action_fn handlers[_NSIG];

static int kernel_trap(int signal, int code)
{
    switch (signal) {
    case SIGSEGV: return code == SI_KERNEL ? 13 : 14;  /* general protection : page fault */
    case SIGBUS: return code == BUS_ADRALN ? 17 : 14;  /* alignment check : page fault */
    case SIGILL: return 6;                             /* invalid opcode */
    case SIGTRAP: return code == TRAP_TRACE ? 1 : 3;   /* single step : breakpoint */
    case SIGFPE:
        return code == FPE_INTDIV ? 0 : code == FPE_INTOVF ? 4 : 16; /* divide : overflow : x87 */
    }
    return -1;
}

static void with_trap(int signal, siginfo_t *info, void *context)
{
    ucontext_t *uc = context;
    if (uc && uc->uc_mcontext.gregs[REG_TRAPNO] == -1) {
        greg_t *registers = uc->uc_mcontext.gregs;
        registers[REG_TRAPNO] = kernel_trap(signal, info ? info->si_code : 0);
        const unsigned char *instruction = (const unsigned char *)registers[REG_EIP];
        if (registers[REG_TRAPNO] == 13 && (registers[REG_ERR] & 7) == 2 && instruction[0] == 0xcd)
            registers[REG_ERR] = instruction[1] * 8 + 2;
    }
    handlers[signal](signal, info, context);
}

static int wrapped(int signal)
{
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGTRAP || signal == SIGFPE;
}

/* Keeps the program's own handler in handlers[] and installs with_trap in its
 * place; what the program reads back is its own handler again. */
int sigaction(int signal, const struct sigaction *act, struct sigaction *old)
{
    static sigaction_fn real;
    if (!real) real = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
    if (!wrapped(signal)) return real(signal, act, old);

    action_fn previous = handlers[signal];
    struct sigaction ours;
    if (act) {
        ours = *act;
        if (act->sa_flags & SA_SIGINFO) {
            handlers[signal] = act->sa_sigaction;
            ours.sa_sigaction = with_trap;
        }
        act = &ours;
    }
    int result = real(signal, act, old);
    if (result != 0) handlers[signal] = previous;
    else if (old && (old->sa_flags & SA_SIGINFO) && old->sa_sigaction == with_trap) old->sa_sigaction = previous;
    return result;
}
