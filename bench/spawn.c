/* What this host charges to create a process: fork, exec of a static program
 * that does nothing, its exit and the parent's wait, one after another.
 * Prints the median and 10th/90th percentiles of the wall time per run, and
 * the CPU per run of parent and child together (from getrusage). Built
 * static, it is its own do-nothing child: run with no arguments, it exits
 * at once.
 *
 * Usage: spawn RUNS
 * Output: SPAWN runs=N wall_p50_us=W wall_p10_us=A wall_p90_us=B cpu_us=C
 */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static double cpu_us(int who) {
    struct rusage ru;
    getrusage(who, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

static int compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char *argv[]) {
    if (argc < 2)
        return 0; /* the child */
    const int runs = atoi(argv[1]);
    double *wall = calloc(runs > 0 ? (size_t)runs : 1, sizeof *wall);
    char *child[] = {argv[0], NULL};
    char *env[] = {NULL};
    const double cpu0 = cpu_us(RUSAGE_SELF) + cpu_us(RUSAGE_CHILDREN);
    for (int i = 0; i < runs; ++i) {
        const double t0 = now_us();
        const pid_t pid = fork();
        if (pid == 0) {
            execve(argv[0], child, env);
            _exit(127);
        }
        int status;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) {
            fprintf(stderr, "spawn: run %d failed\n", i);
            return 1;
        }
        wall[i] = now_us() - t0;
    }
    const double cpu = cpu_us(RUSAGE_SELF) + cpu_us(RUSAGE_CHILDREN) - cpu0;
    if (runs < 1)
        return 2;
    qsort(wall, (size_t)runs, sizeof *wall, compare);
    printf("SPAWN runs=%d wall_p50_us=%.1f wall_p10_us=%.1f wall_p90_us=%.1f cpu_us=%.1f\n", runs,
           wall[runs / 2], wall[runs / 10], wall[runs * 9 / 10], cpu / runs);
    return 0;
}
