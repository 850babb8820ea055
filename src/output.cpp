// The response's one output buffer and the sending of it, of file bodies
// by sendfile and a script's output by splice, and of what a cut answer
// leaves behind (its reason).
#include "output.h"

#include "connection.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace tolm {

namespace {

constexpr char stalled[] = "response cut short: the client took nothing for 30 s";
constexpr char went_away[] = "response cut short: the client went away";

// A client that takes nothing at all for this long is given up on.
constexpr long stall_milliseconds = 30000;
// How often a blocked sender looks at what the client has taken: the
// kernel wakes a blocked sender only once a third of the send buffer has
// drained, which a slow but steady reader may take minutes to do.
constexpr int look_milliseconds = 1000;
// A pipe's size as made, and what a script's pipe may grow to without
// privilege (the default pipe-max-size).
constexpr ssize_t pipe_made = 65536;
constexpr int pipe_grown = 1 << 20;

// As large as the copy loop's block: a small response leaves in one write,
// and a body in writes of that size, which a pipe's reader keeps up with
// better than larger ones. Placed after the program's other data, so that
// those few variables share a page with the C library's own and a run
// touches fewer pages.
char buffer[8192] __attribute__((section(".lbss")));
size_t used;
uint64_t delivered;
// Set once the client is gone or stalled: from then on nothing is sent and
// nothing waited for.
bool failed;
// Why the response ended short of what it promised; null while it is whole.
const char *cut;

void fail(const char *why) {
    failed = true;
    out_cut(why);
}

// The kernel's socket diagnostics for Unix sockets, as far as they are used
// here. musl's headers have no <linux/...>; the layout is the kernel's ABI.
// The fields left zero are there for the layout.
struct DiagRequest {
    uint32_t len;
    uint16_t type, flags;
    // cppcheck-suppress unusedStructMember
    uint32_t seq, pid;
    // cppcheck-suppress unusedStructMember
    uint8_t family, protocol;
    // cppcheck-suppress unusedStructMember
    uint16_t pad;
    uint32_t states, ino, show, cookie[2];
};
constexpr int netlink_sock_diag = 4;
constexpr uint16_t sock_diag_by_family = 20;
constexpr uint16_t netlink_request = 1;
constexpr uint32_t show_peer = 0x4, show_rqlen = 0x10;
constexpr uint16_t attr_peer = 2, attr_rqlen = 4;
constexpr size_t diag_message_size = 16 + 16; // netlink header, unix_diag_msg

// The first 32-bit value of one attribute of the Unix socket with inode ino.
bool unix_diag(int nl, uint32_t ino, uint32_t show, uint16_t attr, uint32_t *value) {
    DiagRequest rq{};
    rq.len = sizeof rq;
    rq.type = sock_diag_by_family;
    rq.flags = netlink_request;
    rq.family = AF_UNIX;
    rq.states = UINT32_MAX;
    rq.ino = ino;
    rq.show = show;
    rq.cookie[0] = rq.cookie[1] = UINT32_MAX;
    alignas(4) char reply[512];
    if (send(nl, &rq, sizeof rq, MSG_NOSIGNAL) != sizeof rq)
        return false;
    const ssize_t n = recv(nl, reply, sizeof reply, 0);
    uint16_t type = 0;
    if (n >= static_cast<ssize_t>(diag_message_size))
        memcpy(&type, reply + 4, sizeof type);
    if (type != sock_diag_by_family)
        return false;
    for (size_t at = diag_message_size; at + 8 <= static_cast<size_t>(n);) {
        uint16_t len = 0, kind = 0;
        memcpy(&len, reply + at, sizeof len);
        memcpy(&kind, reply + at + 2, sizeof kind);
        if (len < 4 || at + len > static_cast<size_t>(n))
            return false;
        if (kind == attr && len >= 8) {
            memcpy(value, reply + at + 4, sizeof *value);
            return true;
        }
        at += (len + 3U) & ~3U;
    }
    return false;
}

// What the socket diagnostics tell of descriptor 1's reader, learnt once:
// nothing when it is no Unix socket; blind when it is one but the
// diagnostics are refused (no AF_NETLINK, as under systemd's
// RestrictAddressFamilies, or a network namespace of its own, as under
// PrivateNetwork, where the connection's socket cannot be looked up).
enum class Diag : signed char { unknown, none, working, blind };
Diag diag = Diag::unknown;
int diag_socket = -1;
uint32_t diag_peer;

void learn_diag() {
    if (diag != Diag::unknown)
        return;
    diag = Diag::none;
    struct sockaddr_storage addr {};
    socklen_t len = sizeof addr;
    struct stat st {};
    if (getsockname(1, reinterpret_cast<struct sockaddr *>(&addr), &len) != 0 ||
        addr.ss_family != AF_UNIX || fstat(1, &st) != 0)
        return;
    diag = Diag::blind;
    const int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, netlink_sock_diag);
    if (nl >= 0 &&
        unix_diag(nl, static_cast<uint32_t>(st.st_ino), show_peer, attr_peer, &diag_peer)) {
        diag_socket = nl;
        diag = Diag::working;
    } else if (nl >= 0) {
        close(nl);
    }
}

// On a Unix socket what the reader has not read waits in its receive queue
// in blocks, each counted as queued on this side until its last byte is
// read: a reader that takes a few bytes at a time would look stalled. The
// socket diagnostics give the reader's unread bytes exactly. -1 where
// they cannot be had.
long unread_by_peer() {
    learn_diag();
    uint32_t unread = 0;
    if (diag != Diag::working ||
        !unix_diag(diag_socket, diag_peer, show_rqlen, attr_rqlen, &unread))
        return -1;
    return unread;
}

// The most one call hands over. Blind to a Unix socket's reader, a block
// leaving the queue is all that shows it reading: blocks of 1 KiB show a
// reader that takes 1 KiB in the 30 s as still taking. Asked only of
// transfers that may have to wait: an answer smaller than the buffer
// leaves in one write and pays nothing.
constexpr size_t whole_piece = 1 << 30;
constexpr uint64_t at_most(uint64_t n, uint64_t most) {
    return n < most ? n : most;
}
constexpr size_t blind_piece = 1024;
size_t piece_most() {
    learn_diag();
    return diag == Diag::blind ? blind_piece : whole_piece;
}

// Bytes handed to the socket that the peer has not taken yet: on TCP those
// not yet acknowledged, on a Unix socket those its reader has not read.
// (SIOCOUTQ, which Linux defines as TIOCOUTQ; musl has only the latter.)
long unsent() {
    const long unread = unread_by_peer();
    if (unread >= 0)
        return unread;
    int n = 0;
    if (ioctl(1, TIOCOUTQ, &n) != 0)
        return -1;
    return n;
}

// Waits until the socket takes more. Progress is judged by what the client
// takes, not by when the kernel lets a blocked sender go on.
bool wait_writable() {
    static uint64_t delivered_at_last_wait = UINT64_MAX;
    static long last_progress;
    static long queued;
    const long start = monotonic_ms();
    if (delivered != delivered_at_last_wait) {
        // The socket took something since the last wait: the client read.
        delivered_at_last_wait = delivered;
        last_progress = start;
        queued = unsent();
    }
    for (;;) {
        const long left = last_progress + stall_milliseconds - monotonic_ms();
        if (left <= 0 || terminated())
            return false;
        struct pollfd p = {1, POLLOUT, 0};
        const int ready =
            poll(&p, 1, static_cast<int>(left < look_milliseconds ? left : look_milliseconds));
        if (ready > 0)
            return true; // writable, or an error the next send reports
        if (ready < 0 && errno != EINTR)
            return false;
        const long now_queued = unsent();
        if (now_queued >= 0 && now_queued < queued)
            last_progress = monotonic_ms();
        queued = now_queued;
    }
}

// Hands over every byte or fails for good. A socket is written without
// blocking (per call), so that the wait stays under this process's control.
void send_all(const char *data, size_t size) {
    const size_t piece = size < sizeof buffer ? size : piece_most();
    while (size > 0 && !failed) {
        if (terminated()) {
            fail(told_to_stop());
            break;
        }
        const ssize_t n = write_stdout(data, at_most(size, piece));
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            delivered += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (stdout_is_socket()) {
                if (!wait_writable() && !terminated())
                    fail(stalled);
            } else {
                // A pipe left non-blocking by whoever made it: pipes get no
                // time limit.
                struct pollfd p = {1, POLLOUT, 0};
                poll(&p, 1, -1);
            }
            continue;
        }
        fail(went_away);
    }
}

// A send that finds the socket full gives up within a millisecond, and the
// wait goes on in poll, under this process's control. O_NONBLOCK cannot do
// that: it belongs to the open connection, which a CGI script shares as
// its standard input, and a script reading there would get EAGAIN (or lose
// the O_NONBLOCK it set itself). The timeout only bounds sends, and a
// script never sends on its standard input. It is that short because a
// splice waiting for the socket holds the script's pipe, and the script
// could not write on meanwhile.
void bound_sends() {
    static bool bounded;
    if (bounded || !stdout_is_socket())
        return;
    bounded = true;
    const struct timeval briefly = {0, 1000};
    setsockopt(1, SOL_SOCKET, SO_SNDTIMEO, &briefly, sizeof briefly);
}

// A piece of a script's output by splice; -1 when descriptor 1 refuses
// it. The caller saw the pipe readable, so a splice that cannot move
// anything waits for the client.
ssize_t splice_piece(int fd) {
    ignore_sigpipe(); // splice into a pipe has no MSG_NOSIGNAL
    const bool socket = stdout_is_socket();
    bound_sends();
    const size_t most = piece_most();
    while (!failed) {
        if (terminated()) {
            fail(told_to_stop());
            break;
        }
        const ssize_t n = splice(fd, nullptr, 1, nullptr, most, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n >= 0) {
            delivered += static_cast<uint64_t>(n);
            // A script that filled its pipe is ahead of the client: a larger
            // pipe lets it write on while the socket drains, with a fraction
            // of the wake-ups on both sides. Only then, as a pipe counts
            // against its account's quota by its size, filled or not.
            static bool grown;
            if (n >= pipe_made && !grown) {
                grown = true;
                fcntl(fd, F_SETPIPE_SZ, pipe_grown);
            }
            return n;
        }
        if (errno == EAGAIN && socket) {
            if (!wait_writable())
                fail(terminated() ? told_to_stop() : stalled);
        } else if (errno == EAGAIN) {
            // A pipe has no time limit; the bound only lets SIGTERM in.
            struct pollfd p = {1, POLLOUT, 0};
            poll(&p, 1, look_milliseconds);
        } else if (errno == EINVAL || errno == ENOSYS) {
            return -1;
        } else if (errno != EINTR) {
            fail(went_away);
        }
    }
    return 0;
}

} // namespace

// Fills the buffer and sends it whole; what is left of a large write beyond
// that goes out directly in whole blocks, the rest waits in the buffer.
void out_write(const char *data, size_t size) {
    if (failed)
        return;
    if (used == 0 && size >= sizeof buffer) {
        send_all(data, size);
        return;
    }
    const size_t room = sizeof buffer - used;
    if (size < room) {
        memcpy(buffer + used, data, size);
        used += size;
        return;
    }
    memcpy(buffer + used, data, room);
    used = sizeof buffer;
    data += room;
    size -= room;
    if (!out_flush())
        return;
    const size_t whole = size - size % sizeof buffer;
    send_all(data, whole);
    memcpy(buffer, data + whole, size - whole);
    used = size - whole;
}

// Formats straight into the buffer when the text fits there: no second
// copy, and no more memory touched than the text needs.
int out_vprintf(const char *fmt, va_list ap) {
    if (failed)
        return 0;
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(buffer + used, sizeof buffer - used, fmt, ap);
    if (n >= 0 && static_cast<size_t>(n) < sizeof buffer - used) {
        used += static_cast<size_t>(n);
    } else if (n >= 0 && out_flush()) {
        n = vsnprintf(buffer, sizeof buffer, fmt, again);
        if (n >= 0)
            used =
                static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
    }
    va_end(again);
    return n < 0 ? 0 : n;
}

// Reads at most `most` bytes from fd straight into the buffer's free space
// and sends the buffer whenever it is full: a body is copied once, in
// blocks of the buffer's size. Gives what read gave.
ssize_t out_fill(int fd, uint64_t most) {
    if (used == sizeof buffer && !out_flush())
        return 0;
    const size_t room = sizeof buffer - used < most ? sizeof buffer - used : most;
    ssize_t n;
    do
        n = read(fd, buffer + used, room);
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return n;
    used += static_cast<size_t>(n);
    if (used == sizeof buffer)
        out_flush();
    return n;
}

int out_printf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = out_vprintf(fmt, ap);
    va_end(ap);
    return n;
}

// From the file straight into the socket or pipe. Gives the bytes sent, or
// UINT64_MAX when descriptor 1 refused sendfile before sending anything.
uint64_t out_sendfile(int fd, uint64_t size) {
    if (!out_flush())
        return 0;
    ignore_sigpipe(); // sendfile has no MSG_NOSIGNAL
    const bool socket = stdout_is_socket();
    bound_sends();
    const uint64_t most = piece_most();
    uint64_t total = 0;
    while (total < size && !failed) {
        // A blocking pipe's sendfile returns early when SIGTERM arrives.
        if (terminated()) {
            fail(told_to_stop());
            break;
        }
        const ssize_t n = sendfile(1, fd, nullptr, at_most(size - total, most));
        if (n > 0) {
            total += static_cast<uint64_t>(n);
            delivered += static_cast<uint64_t>(n);
        } else if (n == 0) {
            out_cut(shrank);
            break;
        } else if (errno == EAGAIN && socket) {
            if (!wait_writable())
                fail(terminated() ? told_to_stop() : stalled);
        } else if (errno == EAGAIN) {
            struct pollfd p = {1, POLLOUT, 0}; // a pipe its maker left non-blocking
            poll(&p, 1, -1);
        } else if (errno == EINTR) {
            continue;
        } else if (total == 0 && (errno == EINVAL || errno == ENOSYS)) {
            return UINT64_MAX;
        } else if (errno == EIO) {
            out_cut(unreadable);
            break;
        } else {
            fail(went_away);
        }
    }
    return total;
}

// What a script's pipe holds now, to the client without waiting for more:
// moved inside the kernel, or through the buffer where descriptor 1 refuses
// that (a file opened for appending). Gives the bytes moved, 0 at the end
// of the output or once the answer has failed.
ssize_t out_splice(int fd) {
    static bool refused;
    if (!out_flush())
        return 0;
    if (!refused) {
        const ssize_t n = splice_piece(fd);
        if (n >= 0)
            return n;
        refused = true;
    }
    const ssize_t n = out_fill(fd, UINT64_MAX);
    out_flush();
    return n;
}

bool out_flush() {
    send_all(buffer, used);
    used = 0;
    return !failed;
}

// The whole buffer, once the response is over: flushed, or abandoned with
// the client.
char *out_spare(size_t *size) {
    used = 0;
    *size = sizeof buffer;
    return buffer;
}

bool out_failed() {
    return failed;
}

void out_cut(const char *why) {
    if (cut == nullptr)
        cut = why;
}

const char *out_cut_reason() {
    return cut;
}

uint64_t out_delivered() {
    return delivered;
}

} // namespace tolm
