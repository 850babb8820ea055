// The client connection below the output buffer: what descriptors 0, 1
// and 2 are, the request line's deadline, SIGTERM, and how the connection
// ends (orderly, or with a reset when the answer was cut).
#include "connection.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tolm {

namespace {

// Under inetd or tcpserver nothing else bounds how long a client may hold
// the process: the whole request line must arrive within this time.
constexpr long request_milliseconds = 30000;
// For what tolm does not watch itself: a CGI script's own reads from the
// client socket.
constexpr time_t io_timeout_seconds = 30;
// How long unread client input is discarded after the response has gone.
constexpr long drain_milliseconds = 2000;

// What the descriptors are is learnt when it first matters, mostly from the
// answer of a call that was to be made anyway: on a connection, where they
// are sockets, a run makes no call only to ask. Descriptor 1's identity is
// kept for the CGI child, which replaces it by its pipe while its
// descriptor 2 may still be the client.
enum class Kind : signed char { unknown, socket, other };
Kind in_kind = Kind::unknown;
Kind out_kind = Kind::unknown;
bool out_known;
dev_t out_dev;
ino_t out_ino;
int stderr_shared = -1;
bool sigpipe_ignored;
long started;
// A signal that ends the run (the first one counts) asks it to end with its
// log line; a running script's group is told with SIGTERM.
volatile sig_atomic_t term_seen;
volatile sig_atomic_t term_group;
// Service managers stop with SIGTERM; Ctrl-C on a front end in the
// foreground sends SIGINT to its whole process group, a closed terminal
// SIGHUP. Each must leave its log line, and a cut answer its reset.
constexpr struct {
    int signal;
    const char *why;
} stop_signals[] = {
    {SIGTERM, "terminated by SIGTERM"},
    {SIGHUP, "terminated by SIGHUP"},
    {SIGINT, "terminated by SIGINT"},
    {SIGQUIT, "terminated by SIGQUIT"},
};
// Once the answer has been handed over whole and the connection finished,
// nothing may turn it into a reset.
bool finished_whole;
// Until a request line has been seen to end alone, more may be on its way.
bool more_input = true;
// Set once a read found standard input to be a terminal: someone runs tolm
// by hand and reads its details there.
bool in_terminal;
constexpr long end_allowance_ms = 2000;

// Only a flag and a kill, both safe here; no SA_RESTART, so that a wait in
// progress returns and its loop sees the flag.
void on_term(int signal) {
    const int saved_errno = errno;
    if (term_seen == 0)
        term_seen = signal;
    if (term_group > 0)
        kill(-term_group, SIGTERM);
    errno = saved_errno;
}

bool is_socket(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

void set_timeout(int fd, int option) {
    struct timeval tv {};
    tv.tv_sec = io_timeout_seconds;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// Waits for input until the given moment; false when it passed first.
bool wait_input(long until) {
    for (;;) {
        const long left = until - monotonic_ms();
        if (left <= 0)
            return false;
        if (term_seen != 0)
            return false;
        struct pollfd p = {0, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left < 1000 ? left : 1000));
        if (ready > 0)
            return true;
    }
}

// A TCP socket closed with unread input sends a reset, and the peer may then
// drop the response it already received. When the client has sent more
// than its request line, or is still sending a line that never ended, its
// input is read away until it closes, for a bounded time. A client that
// sent its line and nothing more is not waited for: the close is orderly,
// and waiting would cost every run a sleep and a wake-up (a fifth of what
// a run costs behind a TLS terminator).
void drain_input() {
    const long until = monotonic_ms() + drain_milliseconds;
    char sink[4096];
    bool lingering = more_input;
    for (;;) {
        const ssize_t n = recv(0, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return;
        if (n > 0) {
            lingering = true;
            continue;
        }
        if (!lingering || !wait_input(until))
            return;
    }
}
// A read that SIGTERM interrupted is not taken up again.
ssize_t read_pipe(char *into, size_t size) {
    const ssize_t n = read(0, into, size);
    if (n < 0 && term_seen != 0)
        errno = ECANCELED;
    return n;
}

// Someone who starts tolm by hand at a terminal sees it wait in silence:
// say what it waits for. Only a read that cannot be served without waiting
// asks what standard input is, and a terminal never serves one: a pipe or
// file that holds the request pays nothing. (musl has no preadv2 wrapper.)
ssize_t read_not_socket(char *into, size_t size) {
    constexpr int nowait = 0x8; // RWF_NOWAIT
    struct iovec iov = {into, size};
    const long n = syscall(SYS_preadv2, 0, &iov, 1, -1L, -1L, nowait);
    if (n >= 0)
        return n;
    if (errno == EOPNOTSUPP && isatty(0)) {
        in_terminal = true;
        char hint[] = "tolm reads one Gemini request line (gemini://host/path) from "
                      "standard input and answers on standard output; see man tolm\n";
        struct iovec part = {hint, sizeof hint - 1};
        write_stderr(&part, 1, end_allowance_ms);
    }
    return read_pipe(into, size);
}

void on_alarm(int /*signal*/) {}

// All the waiting a run may do at its end, for the log daemon and standard
// error together: a stuck daemon or a reader of standard error that stopped
// must not keep the process alive once the answer is out.
long end_deadline;

} // namespace

long monotonic_ms() {
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// The request line's deadline counts from here. A signal that was ignored
// when tolm started (nohup, a background job of a shell) stays ignored,
// but for SIGTERM, which is how every service manager stops a run. A mask
// inherited from the front end must not hold back what the run relies on:
// the signals that end it, and SIGALRM, which bounds its writes to
// standard error. SIGCHLD ignored would let the kernel reap a CGI script
// before the run could wait for it.
//
// Each handler holds the other stop signals back until it returns: two
// that come together would otherwise run nested, the later one first.
void mark_start() {
    started = monotonic_ms();
    struct sigaction sa {};
    sa.sa_handler = on_term;
    sigemptyset(&sa.sa_mask);
    for (const auto &s : stop_signals)
        sigaddset(&sa.sa_mask, s.signal);
    sigset_t relied = sa.sa_mask;
    sigaddset(&relied, SIGALRM);
    for (const auto &s : stop_signals) {
        struct sigaction was {};
        sigaction(s.signal, &sa, &was);
        if (was.sa_handler == SIG_IGN && s.signal != SIGTERM)
            sigaction(s.signal, &was, nullptr);
    }
    sigprocmask(SIG_UNBLOCK, &relied, nullptr);
    signal(SIGCHLD, SIG_DFL);
}

long end_wait_left() {
    const long now = monotonic_ms();
    if (end_deadline == 0)
        end_deadline = now + end_allowance_ms;
    return end_deadline - now;
}

// Standard error may be a pipe or a journal that nobody reads, shared with
// every other run: a write there may block, and O_NONBLOCK cannot be set on
// a description others use. An interval timer breaks the blocked write
// instead; it repeats, so that one firing just before the write begins
// cannot leave it blocked. What is not written within ms is dropped.
void write_stderr(struct iovec *parts, int count, long ms) {
    ignore_sigpipe();
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    const long step = ms < 1 ? 1 : ms < 100 ? ms : 100;
    const struct timeval every = {step / 1000, static_cast<suseconds_t>(step % 1000 * 1000)};
    struct itimerval timer = {every, every};
    setitimer(ITIMER_REAL, &timer, nullptr);
    const long until = monotonic_ms() + ms;
    do {
        ssize_t n = writev(2, parts, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        while (count > 0 && static_cast<size_t>(n) >= parts->iov_len) {
            n -= static_cast<ssize_t>(parts->iov_len);
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char *>(parts->iov_base) + n;
            parts->iov_len -= static_cast<size_t>(n);
        }
    } while (count > 0 && monotonic_ms() < until);
    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
}

bool stdin_is_terminal() {
    return in_terminal;
}

bool terminated() {
    return term_seen != 0;
}

// <algorithm> cannot be had in the musl build: it pulls in the locales.
const char *told_to_stop() {
    for (const auto &s : stop_signals) {
        // cppcheck-suppress useStlAlgorithm
        if (s.signal == term_seen)
            return s.why;
    }
    return stop_signals[0].why;
}

void pass_term_to(pid_t group) {
    term_group = group;
    if (term_seen != 0)
        kill(-group, SIGTERM);
}

void ignore_sigpipe() {
    // A client that hangs up must not take the run's log line with it: a
    // write to it fails with EPIPE instead of killing the process. Sends
    // on a socket ask for that themselves.
    if (!sigpipe_ignored)
        signal(SIGPIPE, SIG_IGN);
    sigpipe_ignored = true;
}

namespace {

void learn_stdout() {
    struct stat out {};
    out_known = fstat(1, &out) == 0;
    out_dev = out.st_dev;
    out_ino = out.st_ino;
    if (out_kind == Kind::unknown)
        out_kind = out_known && S_ISSOCK(out.st_mode) ? Kind::socket : Kind::other;
}

} // namespace

bool stdin_is_socket() {
    if (in_kind == Kind::unknown)
        in_kind = is_socket(0) ? Kind::socket : Kind::other;
    return in_kind == Kind::socket;
}

void learn_connection() {
    stdin_is_socket();
    learn_stdout();
    stderr_is_stdout();
}

// In a CGI child: its standard output is the pipe to this process, and
// what it inherits from here must look as it did when tolm was started.
// The script's own use of the client socket, its standard input and (under
// inetd-style super-servers) its standard error, gets plain time limits.
void leave_connection() {
    if (in_kind == Kind::socket)
        set_timeout(0, SO_RCVTIMEO);
    // Where standard error is the connection, what a script writes there
    // would reach the client ahead of its header. In a chroot without
    // /dev/null, a directory takes its place: writes to it fail.
    if (stderr_is_stdout()) {
        int null = open("/dev/null", O_WRONLY);
        if (null < 0)
            null = open(".", O_RDONLY | O_DIRECTORY);
        if (null >= 0) {
            dup2(null, 2);
            close(null);
        }
    }
    out_kind = Kind::other;
    in_kind = Kind::other;
    signal(SIGPIPE, SIG_DFL);
}

bool stdout_is_socket() {
    if (out_kind == Kind::unknown)
        learn_stdout();
    return out_kind == Kind::socket;
}

// Without blocking and without SIGPIPE on a socket. The first send also
// tells a socket from a pipe.
ssize_t write_stdout(const char *data, size_t size) {
    if (out_kind != Kind::other) {
        const ssize_t n = send(1, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EBADF)
            return n; // nothing there to learn about
        if (n >= 0 || errno != ENOTSOCK) {
            out_kind = Kind::socket;
            return n;
        }
        out_kind = Kind::other;
    }
    ignore_sigpipe();
    return write(1, data, size);
}

bool stderr_is_stdout() {
    if (stderr_shared < 0) {
        if (!out_known)
            learn_stdout();
        struct stat err {};
        const bool same =
            out_known && fstat(2, &err) == 0 && err.st_dev == out_dev && err.st_ino == out_ino;
        stderr_shared = same ? 1 : 0;
    }
    return stderr_shared != 0;
}

// A socket gets one deadline for the whole request line, counted from the
// start of the run, so that a client trickling bytes cannot hold the process
// longer than a silent one: -1 with errno ETIMEDOUT once it has passed. What
// has arrived is taken without waiting first, which is the usual case. A
// pipe has no time limit. The first recv also tells a socket from a pipe.
ssize_t read_request_bytes(char *into, size_t size) {
    if (in_kind == Kind::other)
        return read_pipe(into, size);
    for (;;) {
        const ssize_t n = recv(0, into, size, MSG_DONTWAIT);
        if (n < 0 && errno == ENOTSOCK) {
            in_kind = Kind::other;
            return read_not_socket(into, size);
        }
        if (n < 0 && errno == EBADF)
            return n;
        in_kind = Kind::socket;
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return n;
        if (!wait_input(started + request_milliseconds)) {
            errno = term_seen != 0 ? ECANCELED : ETIMEDOUT;
            return -1;
        }
    }
}

// What follows a header is the request, which must not be taken with it. A
// version 1 line ends at a line feed: on a socket a look at what has
// arrived finds it (every byte before it is the header's), elsewhere the
// line is read a byte at a time.
ssize_t read_header_bytes(char *into, size_t size, bool to_line_end) {
    if (!to_line_end)
        return read_request_bytes(into, size);
    size_t take = 1;
    if (in_kind == Kind::socket) {
        const ssize_t n = recv(0, into, size, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) {
            const void *lf = memchr(into, '\n', static_cast<size_t>(n));
            take = lf != nullptr ? static_cast<size_t>(static_cast<const char *>(lf) - into) + 1
                                 : static_cast<size_t>(n);
        }
    }
    return read_request_bytes(into, take);
}

void request_line_ended(bool more_followed) {
    more_input = more_followed;
}

void close_connection() {
    if (finished_whole || !stdout_is_socket())
        return;
    finished_whole = true;
    if (shutdown(1, SHUT_WR) != 0)
        return;
    if (stdin_is_socket())
        drain_input();
}

// A cut answer must not end like a whole one: on TCP the last close resets
// the connection, and what the client, or a terminator in proxy mode, has
// not taken yet is dropped. Every descriptor of the socket goes now, so the
// reset does not wait for the log. On a Unix socket nothing tells a reset
// from an end.
void abort_connection() {
    if (finished_whole || !stdout_is_socket())
        return;
    const struct linger now = {1, 0};
    setsockopt(1, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    if (stderr_is_stdout())
        close(2);
    if (stdin_is_socket())
        close(0);
    close(1);
}

} // namespace tolm
