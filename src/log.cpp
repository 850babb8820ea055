// The system log writer: one line per call on /dev/log, control bytes
// encoded, with a bounded wait for a slow log daemon.
#include "log.h"

#include "connection.h"
#include "output.h"
#include "utils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace tolm {

namespace {

// A line is formatted in the output buffer, which the response has left by
// the time anything is logged: no memory of its own to touch in every run.
// It holds 8 KiB; the longest line is a request of 1024 bytes with its code
// and byte count, or a detail naming a path of 1024 bytes next to another
// value of that size. A line that does not fit is cut.
char *line;
size_t line_size;

// The connection lasts as long as the process and is closed on exec: the
// exit closes it. A destructor would have to be registered with atexit in
// every run before main. Calls give 0 or an errno value, ETIMEDOUT when the
// daemon is there but took too long.
class LogSocket {
  public:
    constexpr LogSocket() = default;
    LogSocket(const LogSocket &) = delete;
    LogSocket &operator=(const LogSocket &) = delete;

    // A datagram socket first; a log daemon listening on a stream socket
    // refuses that with EPROTOTYPE, and then gets a stream connection, as
    // syslog(3) does. Only a stream connect can wait: for a daemon that
    // does not accept.
    int connect_log() {
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        constexpr char path[] = "/dev/log";
        static_assert(sizeof path <= sizeof addr.sun_path);
        memcpy(addr.sun_path, path, sizeof path);
        const auto *to = reinterpret_cast<struct sockaddr *>(&addr);
        const int types[] = {SOCK_DGRAM, SOCK_STREAM};
        for (const int type : types) {
            fd_ = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            // Started with descriptor 2 closed, the log would take it, and
            // what is meant for standard error would reach the daemon as a
            // line of its own.
            if (fd_ >= 0 && fd_ <= 2) {
                const int moved = fcntl(fd_, F_DUPFD_CLOEXEC, 3);
                close(fd_);
                fd_ = moved;
            }
            if (fd_ < 0)
                return errno;
            type_ = type;
            int err = 0;
            while (err == 0 && connect(fd_, to, sizeof addr) != 0)
                err = wait_or_fail();
            if (err == 0)
                return 0;
            reset();
            if (err != EPROTOTYPE)
                return err;
        }
        return EPROTOTYPE;
    }

    bool connected() const { return fd_ >= 0; }
    // Whether the daemon has let a wait run out.
    bool late() const { return late_; }

    // On a stream the terminating NUL goes along and separates the lines;
    // a line sent in part leaves the stream unusable. Each wait is set up
    // anew, so that none outlasts the allowance.
    int send_line(const char *text, size_t len) {
        if (type_ == SOCK_STREAM)
            len += 1;
        int err = 0;
        int flags = MSG_DONTWAIT | MSG_NOSIGNAL;
        while (len > 0) {
            const ssize_t n = send(fd_, text, len, flags);
            if (n > 0) {
                text += n;
                len -= static_cast<size_t>(n);
                flags = MSG_DONTWAIT | MSG_NOSIGNAL;
            } else if ((err = wait_or_fail()) != 0) {
                break;
            } else {
                flags = MSG_NOSIGNAL;
            }
        }
        if (err != 0 && type_ == SOCK_STREAM)
            reset();
        return err;
    }

    void reset() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    // The socket takes a line or a connection at once when the daemon has
    // room, which is the usual case. Otherwise the next call blocks, for
    // what is left of the run's allowance for waiting at its end.
    int wait_or_fail() {
        const int err = errno;
        if (err != EAGAIN && err != EINTR)
            return err;
        const long left = end_wait_left();
        if (left <= 0) {
            late_ = true;
            return ETIMEDOUT;
        }
        const struct timeval tv = {left / 1000, static_cast<suseconds_t>(left % 1000 * 1000)};
        if (fcntl(fd_, F_SETFL, 0) != 0 ||
            setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
            return errno;
        return 0;
    }

    int fd_ = -1;
    int type_ = SOCK_DGRAM;
    bool late_ = false;
};

constinit LogSocket log_socket;

// "<pri>tag: ": no time stamp, which the log daemon adds on arrival, no host
// name, no pid.
size_t header(int priority) {
    const int n = snprintf(line, line_size, "<%d>%s: ", priority, program_invocation_short_name);
    if (n < 0)
        return 0;
    return static_cast<size_t>(n) < line_size ? static_cast<size_t>(n) : line_size - 1;
}

// Control bytes become %XX, upper-case, in place: from a request or a file
// name they would reach an operator's terminal, and a line feed would forge
// a line of its own on a stream log. What no longer fits in size is cut.
// Gives the new length.
size_t encode_controls(char *text, size_t len, size_t size) {
    size_t grown = len;
    for (size_t i = 0; i < len; ++i)
        grown += is_control(static_cast<unsigned char>(text[i])) ? 2 : 0;
    while (grown > size - 1)
        grown -= is_control(static_cast<unsigned char>(text[--len])) ? 3 : 1;
    text[grown] = '\0';
    for (size_t i = len, o = grown; i > 0;) {
        const auto c = static_cast<unsigned char>(text[--i]);
        if (is_control(c)) {
            text[--o] = hex_digits[c & 0xf];
            text[--o] = hex_digits[c >> 4];
            text[--o] = '%';
        } else {
            text[--o] = static_cast<char>(c);
        }
    }
    return grown;
}

// Where the last line's message begins, for standard error.
size_t message_at;

// A log daemon that restarted has dropped the connection: one new try. One
// that has been too slow loses the line, and the operator hears of it unless
// standard error is the client's connection (a chrooted run only learns that
// it is still missing); a missing one loses lines silently, as with
// syslog(3).
void send_or_drop(size_t start, size_t len) {
    int err = log_socket.connected() ? log_socket.send_line(line, len) : ENOTCONN;
    if (err != 0 && err != ETIMEDOUT) {
        log_socket.reset();
        err = log_socket.connect_log();
        if (err == 0)
            err = log_socket.send_line(line, len);
    }
    if (err != 0 && log_socket.late() && !stderr_is_stdout()) {
        char note[] = "log daemon too slow, line dropped: ";
        char end[] = "\n";
        struct iovec parts[3] = {{note, sizeof note - 1}, {line + start, len - start}, {end, 1}};
        write_stderr(parts, 3, end_wait_left());
    }
}

} // namespace

void open_log() {
    if (!log_socket.connected())
        log_socket.connect_log();
}

void vlog_line(int priority, const char *fmt, va_list ap) {
    // The caller's errno stays as it was, for a %m and for what it does next.
    const int saved_errno = errno;
    line = out_spare(&line_size);
    if ((priority & LOG_FACMASK) == 0)
        priority |= LOG_USER;
    const size_t start = header(priority);
    message_at = start;
    size_t len = start;
    const int n = vsnprintf(line + len, line_size - len, fmt, ap);
    if (n > 0)
        len += encode_controls(line + len,
                               static_cast<size_t>(n) < line_size - len ? static_cast<size_t>(n)
                                                                        : line_size - len - 1,
                               line_size - len);
    send_or_drop(start, len);
    errno = saved_errno;
}

const char *last_message(size_t *len) {
    *len = strlen(line + message_at);
    return line + message_at;
}

void log_line(int priority, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog_line(priority, fmt, ap);
    va_end(ap);
}

} // namespace tolm
