// The request record, the header line, and the run's two ends: finish
// (status 0) and stop (status 1), each with its log line.
#include "response.h"

#include "connection.h"
#include "log.h"
#include "output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

namespace tolm {

char _request[1025];
int32_t _retcode;
int64_t _datasiz;

void status(int code, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    _datasiz += out_printf("%i ", code);
    _datasiz += out_vprintf(fmt, ap);
    out_write("\r\n", 2);
    _datasiz += 2;
    va_end(ap);
    _retcode = code;
}

namespace {

// The lines add_detail keeps for the end of the run, each ending in NUL.
// Untouched, and so costing nothing, in a run that has none.
char details[8192];
size_t details_len;

// Under inetd-style super-servers descriptor 2 is often the client socket
// itself: a detail would reach the client behind the header. Elsewhere it is
// a log that every run shares. Run by hand, standard output and standard
// error are often the same terminal, which a super-server never passes as
// the connection: the operator reads the details there, on a machine that
// may have no log daemon yet.
bool details_to_stderr() {
    return !stderr_is_stdout() || stdin_is_terminal() || isatty(2) != 0;
}

void echo_to_stderr(const char *text, size_t len) {
    char end[] = "\n";
    struct iovec parts[2] = {{const_cast<char *>(text), len}, {end, 1}};
    write_stderr(parts, 2, end_wait_left());
}

// After the run's own lines, so that those stay where operators and their
// filters expect them.
void log_details() {
    const bool echo = details_len > 0 && details_to_stderr();
    for (size_t at = 0; at < details_len; at += strlen(details + at) + 1) {
        log_line(LOG_ERR, "%s", details + at);
        if (echo) {
            size_t len = 0;
            const char *text = last_message(&len);
            echo_to_stderr(text, len);
        }
    }
}

void log_request() {
    log_line(LOG_DAEMON | LOG_INFO, "\"%s\" %i %zd", _request, _retcode,
             static_cast<ssize_t>(_datasiz));
}

// Sends what is still buffered. When the client went away or stalled, the
// log counts what the connection took, not what was meant for it.
void flush_response() {
    if (!out_flush())
        _datasiz = static_cast<int64_t>(out_delivered());
}

// The client gets its end before anything is logged, so that a slow log
// never holds it; a cut response must not end like a whole one.
void end_connection() {
    if (out_cut_reason() != nullptr || terminated())
        abort_connection();
    else
        close_connection();
}

} // namespace

void stop(int code, const char *fmt, ...) {
    flush_response();
    end_connection();
    log_request();
    // Whatever failed after SIGTERM failed because of it.
    if (terminated())
        fmt = told_to_stop();
    if (code != 0) {
        va_list ap;
        va_start(ap, fmt);
        vlog_line(LOG_ERR, fmt, ap);
        va_end(ap);
        if (details_to_stderr()) {
            size_t len = 0;
            const char *text = last_message(&len);
            echo_to_stderr(text, len);
        }
    }
    log_details();
    exit(code);
}

void finish() {
    flush_response();
    if (terminated())
        stop(1, "%s", told_to_stop());
    if (const char *why = out_cut_reason())
        stop(1, "%s", why);
    end_connection();
    log_request();
    log_details();
    exit(0);
}

void add_detail(const char *fmt, ...) {
    if (details_len >= sizeof details - 1)
        return;
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(details + details_len, sizeof details - details_len, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    const size_t room = sizeof details - details_len - 1;
    details_len += (static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room) + 1;
}

// musl words these otherwise than glibc; the shipped build and the glibc
// one log the same text.
const char *reason_text(int err) {
    switch (err) {
    case ELOOP:
        return "Too many levels of symbolic links";
    case ENAMETOOLONG:
        return "File name too long";
    case ENOMEM:
        return "Cannot allocate memory";
    case EMFILE:
        return "Too many open files";
    default:
        return strerror(err);
    }
}

void add_reason(const char *what, const char *name, int err) {
    add_detail("%s(%s): %s", what, name, reason_text(err));
}

} // namespace tolm
