#include "log.h"

#include "output.h"
#include "zone.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
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
// every run before main.
class LogSocket {
  public:
    constexpr LogSocket() = default;
    LogSocket(const LogSocket &) = delete;
    LogSocket &operator=(const LogSocket &) = delete;

    // A datagram socket first; a log daemon listening on a stream socket
    // refuses that with EPROTOTYPE, and then gets a stream connection, as
    // syslog(3) does.
    bool connect_log() {
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        constexpr char path[] = "/dev/log";
        static_assert(sizeof path <= sizeof addr.sun_path);
        memcpy(addr.sun_path, path, sizeof path);
        const int types[] = {SOCK_DGRAM, SOCK_STREAM};
        for (const int type : types) {
            fd_ = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
            if (fd_ < 0)
                return false;
            if (connect(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) {
                type_ = type;
                return true;
            }
            const int err = errno;
            reset();
            if (err != EPROTOTYPE)
                return false;
        }
        return false;
    }

    bool connected() const { return fd_ >= 0; }

    // On a stream the terminating NUL goes along and separates the lines.
    bool send_line(const char *text, size_t len) const {
        if (type_ == SOCK_STREAM)
            len += 1;
        return send(fd_, text, len, MSG_NOSIGNAL) >= 0;
    }

    void reset() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    int type_ = SOCK_DGRAM;
};

constinit LogSocket log_socket;

const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "<pri>Mmm dd hh:mm:ss tag: ": the day padded with a blank, the time local,
// no host name, no pid. Without a broken-down time the stamp is left out.
// A run that did not chroot reads its zone only now, through the line's
// memory: the file is done with before the line is formatted there.
size_t header(int priority) {
    load_zone(line, line_size);
    const time_t now = time(nullptr);
    LocalTime lt{};
    int n;
    if (local_time(now, &lt))
        n = snprintf(line, line_size, "<%d>%s %2d %02d:%02d:%02d %s: ", priority,
                     months[lt.month - 1], lt.day, lt.hour, lt.minute, lt.second,
                     program_invocation_short_name);
    else
        n = snprintf(line, line_size, "<%d>%s: ", priority, program_invocation_short_name);
    if (n < 0)
        return 0;
    return static_cast<size_t>(n) < line_size ? static_cast<size_t>(n) : line_size - 1;
}

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// Control bytes become %XX, upper-case, in place: from a request or a file
// name they would reach an operator's terminal, and a line feed would forge
// a line of its own on a stream log. What no longer fits in size is cut.
// Gives the new length.
size_t encode_controls(char *text, size_t len, size_t size) {
    static constexpr char hex[] = "0123456789ABCDEF";
    size_t grown = len;
    for (size_t i = 0; i < len; ++i)
        grown += is_control(static_cast<unsigned char>(text[i])) ? 2 : 0;
    while (grown > size - 1)
        grown -= is_control(static_cast<unsigned char>(text[--len])) ? 3 : 1;
    text[grown] = '\0';
    for (size_t i = len, o = grown; i > 0;) {
        const auto c = static_cast<unsigned char>(text[--i]);
        if (is_control(c)) {
            text[--o] = hex[c & 0xf];
            text[--o] = hex[c >> 4];
            text[--o] = '%';
        } else {
            text[--o] = static_cast<char>(c);
        }
    }
    return grown;
}

// Where the last line's message begins, for standard error.
size_t message_at;

} // namespace

// Before the response nothing is buffered for output: the zone file is
// read where the response will be.
void open_log() {
    size_t room = 0;
    char *scratch = out_room(&room);
    load_zone(scratch, room);
    if (!log_socket.connected())
        log_socket.connect_log();
}

void vlog_line(int priority, const char *fmt, va_list ap) {
    // The caller's errno stays as it was, for a %m and for what it does next.
    const int saved_errno = errno;
    line = out_spare(&line_size);
    if ((priority & LOG_FACMASK) == 0)
        priority |= LOG_USER;
    size_t len = header(priority);
    message_at = len;
    const int n = vsnprintf(line + len, line_size - len, fmt, ap);
    if (n > 0)
        len += encode_controls(line + len,
                               static_cast<size_t>(n) < line_size - len ? static_cast<size_t>(n)
                                                                        : line_size - len - 1,
                               line_size - len);
    // A log daemon that restarted has dropped the connection: one new try.
    if (!log_socket.connected() || !log_socket.send_line(line, len)) {
        log_socket.reset();
        if (log_socket.connect_log() && !log_socket.send_line(line, len))
            log_socket.reset();
    }
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
