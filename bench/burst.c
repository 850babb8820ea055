/* A burst against a Gemini server on loopback: idle connections from many
 * source addresses that connect (and finish the TLS handshake) but never
 * send a request, coming back whenever the server drops them; slow readers
 * that each fetch one large file at a fixed pace; and one well-behaved
 * client that fetches a small page, one fetch after another, all the while.
 * One thread, nonblocking sockets and epoll: what the client holds is a
 * few kilobytes a connection, so the server's cost stands out. The
 * well-behaved client runs the same loop in a process of its own: in the
 * load's loop its wait would include the client side of a thousand
 * handshakes, which a real visitor's machine does not do for it.
 *
 * Usage: burst -p PORT [-T] [-i IDLE] [-a ADDRS] [-s SLOW] [-r BYTES/S]
 *              [-b BYTES] [-e BODY-BYTES] [-d SECONDS] [-S URL] [-G URL]
 *   -T        TLS (any certificate); without it plain TCP
 *   -i, -a    IDLE connections spread over ADDRS source addresses
 *             127.0.0.2 and up
 *   -s, -r    SLOW readers of URL -S, each from an address of its own
 *             (127.0.1.1 and up), reading BYTES/S each with a receive
 *             buffer of 64 KiB (-b), the window of a slow link rather
 *             than all that loopback would take; a reader's answer is
 *             whole when its body is BODY-BYTES long (-e)
 *   -G        the well-behaved client's URL, fetched from 127.0.0.1
 *   -v        a line on standard error for each of its fetches: when it
 *             began and how long it waited (seconds, milliseconds)
 * Phases: the idle connections open first; once they are all held (or
 * after 20 s) burst prints "HOLD idle" and waits for SIGUSR1 (30 s at most)
 * so that the caller can measure; then the slow readers start, and once
 * all have their answer's header (or after 20 s) burst prints "HOLD all".
 * The run ends SECONDS after the start with one RESULT line. Measures only:
 * the exit status says nothing about the server.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum kind { IDLE, SLOW, GOOD };
enum state { OFF, CONNECTING, HANDSHAKE, SENDING, OPEN };

struct conn {
    enum kind kind;
    enum state state;
    int fd;
    SSL *ssl;
    struct in_addr source;
    double started;  /* this attempt's connect */
    double first;    /* a fetch's first attempt */
    double retry_at; /* when OFF: when to connect again (0: never) */
    double credit;   /* SLOW: bytes it may still read now */
    long long body;  /* bytes after the header */
    char head[3];
    int head_len;
    int header_done; /* a '\n' has ended the header */
    int finished;    /* SLOW: its one fetch is over */
};

static int port, tls, n_idle = 1000, n_addrs = 50, n_slow = 200;
static double rate = 512 * 1024, seconds = 90;
static int slow_rcvbuf = 64 * 1024;
static long long expect_body = -1;
static const char *slow_url = "gemini://localhost/big.bin";
static const char *good_url = "gemini://localhost/";
static SSL_CTX *ctx;
static int ep;
static volatile sig_atomic_t go_on;
static int trace;

/* What the RESULT line reports. */
static long idle_connects, idle_refused, idle_dropped;
static int idle_held, idle_held_max;
static int slow_whole, slow_cut, slow_none;
static double slow_worst;
static long good_fetches, good_ok, good_failed_tries;
static double good_worst, good_worst_at, good_sum, t_start;

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void on_usr1(int sig) {
    (void)sig;
    go_on = 1;
}

static void drop(struct conn *c) {
    if (c->ssl != NULL)
        SSL_free(c->ssl);
    c->ssl = NULL;
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
    if (c->kind == IDLE && c->state == OPEN)
        --idle_held;
    c->state = OFF;
}

static void failed_try(struct conn *c, double t);

static void start(struct conn *c, double t) {
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c->fd < 0) {
        perror("burst: socket");
        exit(2);
    }
    int one = 1;
    setsockopt(c->fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (c->kind == SLOW && slow_rcvbuf > 0)
        setsockopt(c->fd, SOL_SOCKET, SO_RCVBUF, &slow_rcvbuf, sizeof slow_rcvbuf);
    struct sockaddr_in from = {.sin_family = AF_INET, .sin_addr = c->source};
    if (bind(c->fd, (struct sockaddr *)&from, sizeof from) != 0) {
        perror("burst: bind to a loopback address");
        exit(2);
    }
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    c->started = t;
    c->state = CONNECTING;
    c->head_len = c->header_done = 0;
    c->body = 0;
    if (c->kind == IDLE)
        ++idle_connects;
    struct epoll_event ev = {.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP, .data.ptr = c};
    epoll_ctl(ep, EPOLL_CTL_ADD, c->fd, &ev);
    if (connect(c->fd, (struct sockaddr *)&to, sizeof to) != 0 && errno != EINPROGRESS)
        failed_try(c, t);
}

static void want(struct conn *c, unsigned events) {
    struct epoll_event ev = {.events = events | EPOLLRDHUP, .data.ptr = c};
    epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
}

/* A slow reader reads on the tick only: an end or an error it has no
 * credit to read up to would wake epoll over and over. */
static void tick_only(struct conn *c) {
    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, NULL);
}

/* A try that ended before the server answered anything: refused, reset or
 * closed during the handshake or before the header. */
static void failed_try(struct conn *c, double t) {
    int was_open = c->state == OPEN;
    drop(c);
    switch (c->kind) {
    case IDLE:
        if (was_open)
            ++idle_dropped;
        else
            ++idle_refused;
        c->retry_at = t + 0.2 + 0.3 * (double)rand() / RAND_MAX;
        break;
    case GOOD:
        ++good_failed_tries;
        c->retry_at = t + 0.2;
        break;
    case SLOW:
        c->retry_at = c->header_done ? 0 : t + 0.5;
        break;
    }
}

static void fetch_over(struct conn *c, double t) {
    int whole = c->head_len == 3 && memcmp(c->head, "20 ", 3) == 0 &&
                (c->kind == GOOD || expect_body < 0 || c->body == expect_body);
    drop(c);
    double wait = t - c->first;
    if (c->kind == GOOD) {
        if (trace)
            fprintf(stderr, "GOOD at_s=%.2f wait_ms=%.0f%s\n", c->first - t_start, 1e3 * wait,
                    whole ? "" : " not whole");
        ++good_fetches;
        if (whole) {
            ++good_ok;
            good_sum += wait;
        }
        if (wait > good_worst)
            good_worst = wait, good_worst_at = c->first - t_start;
        c->retry_at = t + 0.5;
        c->first = c->retry_at;
    } else {
        c->finished = 1;
        c->retry_at = 0;
        if (whole) {
            ++slow_whole;
            if (wait > slow_worst)
                slow_worst = wait;
        } else {
            ++slow_cut;
        }
    }
}

static int send_request(struct conn *c) {
    char line[1100];
    int len = snprintf(line, sizeof line, "%s\r\n", c->kind == SLOW ? slow_url : good_url);
    int n = c->ssl != NULL ? SSL_write(c->ssl, line, len) : (int)write(c->fd, line, (size_t)len);
    return n == len ? 0 : -1;
}

/* Reads what there is (up to the SLOW credit); 1 at the end of the
 * answer, -1 on an error before any header, 0 otherwise. */
static int take(struct conn *c) {
    char buf[65536];
    for (;;) {
        size_t room = sizeof buf;
        if (c->kind == SLOW) {
            if (c->credit < 1)
                return 0;
            if (c->credit < (double)room)
                room = (size_t)c->credit;
        }
        int n;
        if (c->ssl != NULL) {
            n = SSL_read(c->ssl, buf, (int)room);
            if (n <= 0) {
                int e = SSL_get_error(c->ssl, n);
                if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
                    return 0;
                ERR_clear_error();
                return c->head_len > 0 ? 1 : -1;
            }
        } else {
            n = (int)read(c->fd, buf, room);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return 0;
            if (n <= 0)
                return c->head_len > 0 ? 1 : -1;
        }
        if (c->kind == SLOW)
            c->credit -= n;
        for (int i = 0; i < n; ++i) {
            if (c->head_len < 3)
                c->head[c->head_len++] = buf[i];
            if (c->header_done)
                ++c->body;
            else if (buf[i] == '\n')
                c->header_done = 1;
        }
    }
}

/* Moves a connection on after an event (or a tick, for SLOW). */
static void step(struct conn *c, unsigned events, double t) {
    if (c->state == CONNECTING) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            failed_try(c, t);
            return;
        }
        if (!(events & EPOLLOUT))
            return;
        if (tls) {
            c->ssl = SSL_new(ctx);
            SSL_set_fd(c->ssl, c->fd);
            SSL_set_tlsext_host_name(c->ssl, "localhost");
            c->state = HANDSHAKE;
        } else {
            c->state = SENDING;
        }
    }
    if (c->state == HANDSHAKE) {
        int rc = SSL_connect(c->ssl);
        if (rc != 1) {
            int e = SSL_get_error(c->ssl, rc);
            if (e == SSL_ERROR_WANT_READ) {
                want(c, EPOLLIN);
                return;
            }
            if (e == SSL_ERROR_WANT_WRITE) {
                want(c, EPOLLOUT);
                return;
            }
            ERR_clear_error();
            failed_try(c, t);
            return;
        }
        c->state = SENDING;
    }
    if (c->state == SENDING) {
        if (c->kind == IDLE) {
            /* Held: nothing is sent; the server's close is all it waits for. */
            c->state = OPEN;
            if (++idle_held > idle_held_max)
                idle_held_max = idle_held;
            want(c, EPOLLIN);
            return;
        }
        if (send_request(c) != 0) {
            ERR_clear_error();
            failed_try(c, t);
            return;
        }
        c->state = OPEN;
        if (c->kind == SLOW) {
            tick_only(c);
            return;
        }
        want(c, EPOLLIN);
    }
    if (c->state != OPEN)
        return;
    if (c->kind == IDLE) {
        char b[256];
        int n = c->ssl != NULL ? SSL_read(c->ssl, b, sizeof b) : (int)read(c->fd, b, sizeof b);
        if (n > 0 || (c->ssl != NULL && SSL_get_error(c->ssl, n) == SSL_ERROR_WANT_READ) ||
            (c->ssl == NULL && n < 0 && errno == EAGAIN))
            return;
        ERR_clear_error();
        failed_try(c, t);
        return;
    }
    int r = take(c);
    if (r > 0)
        fetch_over(c, t);
    else if (r < 0)
        failed_try(c, t);
}

static struct in_addr loopback(int a, int b, int d) {
    struct in_addr in;
    in.s_addr = htonl((uint32_t)(127u << 24 | (unsigned)a << 16 | (unsigned)b << 8 | (unsigned)d));
    return in;
}

int main(int argc, char *argv[]) {
    int opt;
    while ((opt = getopt(argc, argv, "p:Ti:a:s:r:b:e:d:S:G:v")) != -1) {
        switch (opt) {
        case 'p':
            port = atoi(optarg);
            break;
        case 'T':
            tls = 1;
            break;
        case 'i':
            n_idle = atoi(optarg);
            break;
        case 'a':
            n_addrs = atoi(optarg);
            break;
        case 's':
            n_slow = atoi(optarg);
            break;
        case 'r':
            rate = atof(optarg);
            break;
        case 'b':
            slow_rcvbuf = atoi(optarg);
            break;
        case 'e':
            expect_body = atoll(optarg);
            break;
        case 'd':
            seconds = atof(optarg);
            break;
        case 'S':
            slow_url = optarg;
            break;
        case 'G':
            good_url = optarg;
            break;
        case 'v':
            trace = 1;
            break;
        default:
            fprintf(
                stderr,
                "usage: burst -p PORT [-T] [-i IDLE] [-a ADDRS] [-s SLOW] [-r BYTES/S] [-b BYTES] "
                "[-e BODY-BYTES] [-d SECONDS] [-S URL] [-G URL] [-v]\n");
            return 2;
        }
    }
    if (port <= 0 || n_addrs < 1 || n_addrs > 250 || n_slow > 250 * 250 || seconds <= 0)
        return 2;
    /* Every connection is a descriptor of this one process. */
    struct rlimit nofile;
    getrlimit(RLIMIT_NOFILE, &nofile);
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGUSR1, on_usr1);
    ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, NULL);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);

    int total = n_idle + n_slow + 1;
    struct conn *conns = calloc((size_t)total, sizeof *conns);
    double t0 = now_s(), end = t0 + seconds;
    t_start = t0;
    for (int i = 0; i < total; ++i) {
        struct conn *c = &conns[i];
        c->fd = -1;
        c->kind = i < n_idle ? IDLE : i < n_idle + n_slow ? SLOW : GOOD;
        if (c->kind == IDLE) {
            c->source = loopback(0, 0, 2 + i % n_addrs);
            c->retry_at = t0 + 0.001 * i / 10; /* ten a millisecond */
        } else if (c->kind == SLOW) {
            int k = i - n_idle;
            c->source = loopback(1 + k / 250, 0, 1 + k % 250);
        } else {
            c->source = loopback(0, 0, 1);
            c->retry_at = c->first = t0 + 0.5;
        }
    }
    /* The well-behaved client (the last connection) in a process of its
     * own, which reports its figures through a pipe at the end. */
    int report[2];
    if (pipe(report) != 0) {
        perror("burst: pipe");
        return 2;
    }
    fflush(stdout);
    pid_t good_pid = fork();
    if (good_pid < 0) {
        perror("burst: fork");
        return 2;
    }
    int good_only = good_pid == 0, lo = good_only ? total - 1 : 0,
        hi = good_only ? total : total - 1;
    ep = epoll_create1(EPOLL_CLOEXEC);
    /* 0 idle opening, 1 waiting for SIGUSR1, 2 slow running, 3 all held; -1 the
     * well-behaved client's process */
    int phase = good_only ? -1 : 0;
    double phase_at = t0, tick = t0, held_at = t0;
    int held_seen = 0;
    struct epoll_event evs[256];
    for (;;) {
        double t = now_s();
        if (t >= end)
            break;
        /* All held, or as many as the server takes: no more for 2 s. */
        if (idle_held_max > held_seen)
            held_seen = idle_held_max, held_at = t;
        if (phase == 0 && (idle_held >= n_idle || t - held_at > 2 || t - phase_at > 20)) {
            printf("HOLD idle held=%d t=%.1f\n", idle_held, t - t0);
            fflush(stdout);
            phase = 1, phase_at = t;
        }
        if (phase == 1 && (go_on || t - phase_at > 30)) {
            for (int i = n_idle; i < n_idle + n_slow; ++i)
                conns[i].retry_at = conns[i].first = t + 0.001 * (i - n_idle) / 10;
            printf("START slow t=%.1f\n", t - t0);
            fflush(stdout);
            phase = 2, phase_at = t;
        }
        if (phase == 2) {
            int with_header = 0;
            for (int i = n_idle; i < n_idle + n_slow; ++i)
                with_header += conns[i].header_done;
            if (with_header == n_slow || t - phase_at > 20) {
                printf("HOLD all idle_held=%d slow_with_header=%d t=%.1f\n", idle_held, with_header,
                       t - t0);
                fflush(stdout);
                phase = 3;
            }
        }
        for (int i = lo; i < hi; ++i) {
            struct conn *c = &conns[i];
            if (c->state == OFF && c->retry_at > 0 && t >= c->retry_at && !c->finished)
                start(c, t);
        }
        if (!good_only && t - tick >= 0.05) {
            /* Slow readers: credit for the time gone, then read. */
            for (int i = n_idle; i < n_idle + n_slow; ++i) {
                struct conn *c = &conns[i];
                if (c->state != OPEN)
                    continue;
                c->credit += rate * (t - tick);
                if (c->credit > rate)
                    c->credit = rate;
                step(c, 0, t);
            }
            tick = t;
        }
        int n = epoll_wait(ep, evs, 256, 10);
        t = now_s();
        for (int i = 0; i < n; ++i) {
            struct conn *c = evs[i].data.ptr;
            if (c->fd >= 0)
                step(c, evs[i].events, t);
        }
    }
    double t = now_s();
    struct good_report {
        long fetches, ok, failed_tries;
        double worst, worst_at, sum, open;
    } r = {0};
    if (good_only) {
        /* A fetch still under way at the end counts with its wait so far. */
        struct conn *good = &conns[total - 1];
        double open = t >= good->first ? t - good->first : 0;
        if (open > good_worst)
            good_worst = open, good_worst_at = good->first - t0;
        r = (struct good_report){
            good_fetches, good_ok, good_failed_tries, good_worst, good_worst_at, good_sum, open};
        _exit(write(report[1], &r, sizeof r) == sizeof r ? 0 : 1);
    }
    close(report[1]);
    if (read(report[0], &r, sizeof r) != sizeof r)
        fprintf(stderr, "burst: the well-behaved client's process reported nothing\n");
    waitpid(good_pid, NULL, 0);
    good_fetches = r.fetches, good_ok = r.ok, good_failed_tries = r.failed_tries;
    good_worst = r.worst, good_worst_at = r.worst_at, good_sum = r.sum;
    double good_open = r.open;
    for (int i = n_idle; i < n_idle + n_slow; ++i)
        if (!conns[i].finished)
            ++slow_none;
    struct rusage self;
    getrusage(RUSAGE_SELF, &self);
    printf("RESULT idle=%d idle_connects=%ld idle_refused=%ld idle_dropped=%ld idle_held_max=%d "
           "slow=%d slow_whole=%d slow_cut=%d slow_unfinished=%d slow_worst_s=%.1f "
           "good_fetches=%ld good_ok=%ld good_failed_tries=%ld good_worst_ms=%.0f "
           "good_worst_at_s=%.1f "
           "good_mean_ms=%.0f good_open_at_end_ms=%.0f client_maxrss_kib=%ld\n",
           n_idle, idle_connects, idle_refused, idle_dropped, idle_held_max, n_slow, slow_whole,
           slow_cut, slow_none, slow_worst, good_fetches, good_ok, good_failed_tries,
           1e3 * good_worst, good_worst_at, good_ok ? 1e3 * good_sum / (double)good_ok : 0.0,
           1e3 * good_open, self.ru_maxrss);
    return 0;
}
