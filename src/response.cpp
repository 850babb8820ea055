// The request record, the header line, and the run's two ends: finish
// (status 0) and stop (status 1), each with its log line.
#include "response.h"

#include "connection.h"
#include "log.h"
#include "output.h"

#include <cstdarg>
#include <cstdlib>
#include <sys/uio.h>

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
        // Under inetd-style super-servers descriptor 2 is often the client
        // socket itself: the detail would reach the client behind the header.
        // Elsewhere it is a log that every run shares: one line each. Run by
        // hand at a terminal, the one terminal shows both.
        if (!stderr_is_stdout() || stdin_is_terminal()) {
            size_t len = 0;
            const char *text = last_message(&len);
            char end[] = "\n";
            struct iovec parts[2] = {{const_cast<char *>(text), len}, {end, 1}};
            write_stderr(parts, 2, end_wait_left());
        }
    }
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
    exit(0);
}

} // namespace tolm
