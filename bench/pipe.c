/* One transfer of a file into a pipe, the way a responder can do it, with a
 * reader at the other end: sendfile, or a read/write copy loop with blocks
 * of a given size. Writer and reader are two children of this process,
 * placed by the scheduler; prints the wall time from the first fork to the
 * second reap and the CPU time of each side (from wait4).
 *
 * Usage: pipe FILE READ-BYTES sendfile|BLOCK-BYTES
 * Output: PIPE method=sendfile|copy-Kk read=R bytes=B wall_us=W writer_cpu_us=C reader_cpu_us=D
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static double cpu_us(const struct rusage *ru) {
    return (double)(ru->ru_utime.tv_sec + ru->ru_stime.tv_sec) * 1e6 +
           (double)(ru->ru_utime.tv_usec + ru->ru_stime.tv_usec);
}

static int write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

static int writer(const char *path, int out, long block) {
    int fd = open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return 1;
    if (block == 0) {
        off_t left = st.st_size;
        while (left > 0) {
            ssize_t n = sendfile(out, fd, NULL, (size_t)left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return 1;
            left -= n;
        }
        return 0;
    }
    char *buf = malloc((size_t)block);
    ssize_t n;
    while ((n = read(fd, buf, (size_t)block)) > 0)
        if (write_all(out, buf, (size_t)n) != 0)
            return 1;
    return n == 0 ? 0 : 1;
}

static long long reader(int in, long size) {
    char *buf = malloc((size_t)size);
    long long total = 0;
    ssize_t n;
    while ((n = read(in, buf, (size_t)size)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        total += n;
    }
    return total;
}

int main(int argc, char *argv[]) {
    if (argc != 4) {
        fprintf(stderr, "usage: pipe FILE READ-BYTES sendfile|BLOCK-BYTES\n");
        return 2;
    }
    const long rsize = atol(argv[2]);
    const long block = strcmp(argv[3], "sendfile") == 0 ? 0 : atol(argv[3]);
    int fds[2];
    /* The reader reports its byte count through a second pipe. */
    int count[2];
    if (rsize <= 0 || block < 0 || pipe(fds) != 0 || pipe(count) != 0)
        return 2;
    const double t0 = now_us();
    pid_t w = fork();
    if (w == 0) {
        close(fds[0]);
        _exit(writer(argv[1], fds[1], block));
    }
    pid_t r = fork();
    if (r == 0) {
        close(fds[1]);
        long long total = reader(fds[0], rsize);
        _exit(write(count[1], &total, sizeof total) == sizeof total ? 0 : 1);
    }
    close(fds[0]);
    close(fds[1]);
    struct rusage wru, rru;
    int ws, rs;
    if (wait4(w, &ws, 0, &wru) != w || wait4(r, &rs, 0, &rru) != r)
        return 1;
    const double t1 = now_us();
    long long total = -1;
    if (read(count[0], &total, sizeof total) != sizeof total || !WIFEXITED(ws) ||
        WEXITSTATUS(ws) != 0 || !WIFEXITED(rs) || WEXITSTATUS(rs) != 0) {
        fprintf(stderr, "pipe: transfer failed\n");
        return 1;
    }
    char method[32] = "sendfile";
    if (block > 0)
        snprintf(method, sizeof method, "copy-%ldk", block / 1024);
    printf("PIPE method=%s read=%ld bytes=%lld wall_us=%.0f writer_cpu_us=%.0f "
           "reader_cpu_us=%.0f\n",
           method, rsize, total, t1 - t0, cpu_us(&wru), cpu_us(&rru));
    return 0;
}
