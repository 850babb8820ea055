/* How much of a process's start is the cpuid instruction. On a virtual
 * machine cpuid traps to the hypervisor, which makes it cost microseconds
 * instead of the ~100 cycles it takes on bare metal; glibc's start-up runs
 * it many times to learn the CPU's features and cache sizes.
 *
 * Usage: cpuid -t                      time of one cpuid (median of batches)
 *        cpuid STDIN PROG [ARG...]     run PROG with STDIN as standard input,
 *                                      standard output to /dev/null, single-
 *                                      stepped from its first instruction to
 *                                      its exit; counts instructions and the
 *                                      cpuid ones among them
 * Prints "CPUID_NS median" or "STEPS instructions CPUID count".
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

static int compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

/* Leaf 4, the cache parameters glibc asks for, subleaf 0. */
static void one_cpuid(void) {
    unsigned a = 4, b, c = 0, d;
    __asm__ volatile("cpuid" : "+a"(a), "=b"(b), "+c"(c), "=d"(d));
}

static int time_cpuid(void) {
    enum { batches = 51, per_batch = 200 };
    double ns[batches];
    for (int i = 0; i < batches; ++i) {
        double t0 = now_ns();
        for (int k = 0; k < per_batch; ++k)
            one_cpuid();
        ns[i] = (now_ns() - t0) / per_batch;
    }
    qsort(ns, batches, sizeof *ns, compare);
    printf("CPUID_NS %.0f\n", ns[batches / 2]);
    return 0;
}

static int count(char *input, char **argv) {
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 2;
    }
    if (pid == 0) {
        int in = open(input, O_RDONLY);
        int out = open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
        ptrace(PTRACE_TRACEME, 0, NULL, NULL);
        execvp(argv[0], argv);
        _exit(127);
    }
    int status;
    waitpid(pid, &status, 0); /* stopped at the exec */
    long steps = 0, cpuids = 0;
    int sig = 0;
    for (;;) {
        if (ptrace(PTRACE_SINGLESTEP, pid, NULL, (void *)(long)sig) != 0)
            break;
        if (waitpid(pid, &status, 0) < 0 || WIFEXITED(status) || WIFSIGNALED(status))
            break;
        sig = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
        struct user_regs_struct regs;
        if (ptrace(PTRACE_GETREGS, pid, NULL, &regs) != 0)
            break;
        long word = ptrace(PTRACE_PEEKTEXT, pid, (void *)regs.rip, NULL);
        ++steps;
        /* The instruction about to run: cpuid is 0f a2. */
        if ((word & 0xffff) == 0xa20f)
            ++cpuids;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "cpuid: %s did not exit cleanly\n", argv[0]);
        return 1;
    }
    printf("STEPS %ld CPUID %ld\n", steps, cpuids);
    return 0;
}

int main(int argc, char *argv[]) {
    if (argc == 2 && strcmp(argv[1], "-t") == 0)
        return time_cpuid();
    if (argc >= 3)
        return count(argv[1], &argv[2]);
    fprintf(stderr, "usage: cpuid -t | cpuid STDIN PROG [ARG...]\n");
    return 2;
}
