/* Runs several commands in rounds, each once per round in a new random
 * order, many times, and prints per command the median and spread of wall
 * time, CPU time, peak memory and bytes out. Interleaving puts every command
 * under the same background noise; medians keep the odd slow run from moving
 * the result. The order matters: a process that runs right after a similar
 * one finds the kernel's caches warm for it (measured here: the same binary
 * scored 15% apart depending on which command ran before it in a fixed
 * cycle), so no command may always follow the same one.
 *
 * Usage: drive [-n RUNS] [-w WARMUP] [-t] -- NAME STDIN PROG [ARG...] [-- NAME ...]
 * Each run gets STDIN opened anew as standard input, standard output is a
 * pipe that drive reads to its end (the consumer), or with -t a loopback TCP
 * connection, standard error goes to /dev/null. The time is taken from just
 * before the spawn (and the TCP connect) to the reap.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

struct command {
    const char *name;
    const char *input;
    char **argv;
    double *wall_us;
    double *cpu_us;
    double *rss_kib;
    double *bytes;
    double *minflt;
    int failures;
    char head[4];
};

/* Kept small, like the whole of drive (built static): a child started by
 * posix_spawn shares the parent's memory until its exec, and the kernel can
 * count that as the child's peak; a small parent keeps it below every real
 * program's own size. */
static char sink[1 << 16];

/* With -t: a loopback listener whose accepted ends become the runs'
 * standard output. */
static int listener = -1;
static struct sockaddr_in listen_addr;

static void listen_tcp(void) {
    socklen_t len = sizeof listen_addr;
    listen_addr.sin_family = AF_INET;
    listen_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || bind(listener, (struct sockaddr *)&listen_addr, sizeof listen_addr) != 0 ||
        listen(listener, 4) != 0 ||
        getsockname(listener, (struct sockaddr *)&listen_addr, &len) != 0) {
        perror("drive: loopback listener");
        exit(2);
    }
}

/* fds[0] is read by drive, fds[1] goes to the child, as from pipe2. */
static int connect_tcp(int fds[2]) {
    fds[0] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fds[0] < 0 || connect(fds[0], (struct sockaddr *)&listen_addr, sizeof listen_addr) != 0)
        return -1;
    fds[1] = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    return fds[1] < 0 ? -1 : 0;
}

static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static int compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static double quantile(double *v, int n, double q) {
    qsort(v, (size_t)n, sizeof *v, compare);
    int i = (int)(q * (n - 1) + 0.5);
    return v[i];
}

/* One run; results go to slot i of the command's arrays when i >= 0. */
static void run(struct command *c, int i) {
    int fds[2];
    double t0 = now_us();
    if ((listener >= 0 ? connect_tcp(fds) : pipe2(fds, O_CLOEXEC)) != 0) {
        perror(listener >= 0 ? "drive: loopback connection" : "pipe2");
        exit(2);
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, c->input, O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, c->argv[0], &fa, NULL, c->argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
        fprintf(stderr, "drive: cannot start %s: %s\n", c->argv[0], strerror(rc));
        exit(2);
    }
    double bytes = 0;
    ssize_t n;
    while ((n = read(fds[0], sink, sizeof sink)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (bytes == 0 && c->head[0] == '\0') {
            size_t k = n < 3 ? (size_t)n : 3;
            memcpy(c->head, sink, k);
            for (size_t j = 0; j < k; ++j)
                if (c->head[j] < ' ')
                    c->head[j] = '.';
        }
        bytes += (double)n;
    }
    close(fds[0]);
    int status;
    struct rusage ru;
    while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR)
        ;
    double t1 = now_us();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ++c->failures;
    if (i < 0)
        return;
    c->wall_us[i] = t1 - t0;
    c->cpu_us[i] = (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 +
                   (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
    c->rss_kib[i] = (double)ru.ru_maxrss;
    c->bytes[i] = bytes;
    c->minflt[i] = (double)ru.ru_minflt;
}

int main(int argc, char *argv[]) {
    int runs = 200, warmup = 10;
    int a = 1;
    for (; a < argc && strcmp(argv[a], "--") != 0; ++a) {
        if (strcmp(argv[a], "-n") == 0 && a + 1 < argc)
            runs = atoi(argv[++a]);
        else if (strcmp(argv[a], "-w") == 0 && a + 1 < argc)
            warmup = atoi(argv[++a]);
        else if (strcmp(argv[a], "-t") == 0)
            listen_tcp();
        else {
            fprintf(stderr, "usage: drive [-n RUNS] [-w WARMUP] [-t] -- NAME STDIN PROG [ARG...] "
                            "[-- ...]\n");
            return 2;
        }
    }
    if (runs < 1)
        runs = 1;
    /* Each "--" starts a group; turning the markers into NULLs ends the
     * argv of the group before. */
    struct command cmds[16];
    int ncmd = 0;
    int starts[16];
    for (; a < argc; ++a) {
        if (strcmp(argv[a], "--") != 0)
            continue;
        argv[a] = NULL;
        if (ncmd == 16) {
            fprintf(stderr, "drive: at most 16 commands\n");
            return 2;
        }
        starts[ncmd++] = a + 1;
    }
    for (int k = 0; k < ncmd; ++k) {
        char **group = &argv[starts[k]];
        int len = 0;
        while (group[len] != NULL)
            ++len;
        if (len < 3) {
            fprintf(stderr, "drive: a command needs NAME STDIN PROG\n");
            return 2;
        }
        struct command *c = &cmds[k];
        memset(c, 0, sizeof *c);
        c->name = group[0];
        c->input = group[1];
        c->argv = &group[2];
        c->wall_us = calloc((size_t)runs, sizeof(double));
        c->cpu_us = calloc((size_t)runs, sizeof(double));
        c->rss_kib = calloc((size_t)runs, sizeof(double));
        c->bytes = calloc((size_t)runs, sizeof(double));
        c->minflt = calloc((size_t)runs, sizeof(double));
    }
    if (ncmd == 0) {
        fprintf(stderr, "drive: no command\n");
        return 2;
    }
    for (int w = 0; w < warmup; ++w)
        for (int k = 0; k < ncmd; ++k)
            run(&cmds[k], -1);
    for (int k = 0; k < ncmd; ++k)
        cmds[k].failures = 0;
    /* A fixed seed: the same order in every run of drive. */
    unsigned long long seed = 0x9e3779b97f4a7c15ull;
    int order[16];
    for (int k = 0; k < ncmd; ++k)
        order[k] = k;
    for (int i = 0; i < runs; ++i) {
        for (int k = ncmd - 1; k > 0; --k) { /* Fisher-Yates, xorshift64 */
            seed ^= seed << 13;
            seed ^= seed >> 7;
            seed ^= seed << 17;
            const int j = (int)(seed % (unsigned long long)(k + 1));
            const int t = order[k];
            order[k] = order[j];
            order[j] = t;
        }
        for (int k = 0; k < ncmd; ++k)
            run(&cmds[order[k]], i);
    }
    printf("# %-10s %6s %10s %10s %10s %10s %10s %7s %12s %5s %s\n", "name", "runs", "wall_p50us",
           "wall_p10us", "wall_p90us", "cpu_p50us", "maxrss_kib", "minflt", "bytes", "fail",
           "head");
    for (int k = 0; k < ncmd; ++k) {
        struct command *c = &cmds[k];
        printf("RESULT %-10s %6d %10.1f %10.1f %10.1f %10.1f %10.0f %7.0f %12.0f %5d \"%s\"\n",
               c->name, runs, quantile(c->wall_us, runs, 0.5), quantile(c->wall_us, runs, 0.1),
               quantile(c->wall_us, runs, 0.9), quantile(c->cpu_us, runs, 0.5),
               quantile(c->rss_kib, runs, 0.5), quantile(c->minflt, runs, 0.5),
               quantile(c->bytes, runs, 0.5), c->failures, c->head);
    }
    struct rusage self;
    getrusage(RUSAGE_SELF, &self);
    printf("# drive's own max RSS: %ld KiB\n", self.ru_maxrss);
    return 0;
}
