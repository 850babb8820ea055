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

[[noreturn]] void end_run(int code) {
    close_connection();
    exit(code);
}

} // namespace

void stop(int code, const char *fmt, ...) {
    flush_response();
    log_request();
    if (code != 0) {
        va_list ap;
        va_start(ap, fmt);
        vlog_line(LOG_ERR, fmt, ap);
        va_end(ap);
        // Under inetd-style super-servers descriptor 2 is often the client
        // socket itself: the detail would reach the client behind the header.
        // Elsewhere it is a log that every run shares: one line each.
        if (!stderr_is_stdout()) {
            ignore_sigpipe();
            size_t len = 0;
            const char *text = last_message(&len);
            struct iovec parts[2] = {{const_cast<char *>(text), len},
                                     {const_cast<char *>("\n"), 1}};
            writev(2, parts, 2);
        }
    }
    end_run(code);
}

void finish() {
    flush_response();
    log_request();
    end_run(0);
}

} // namespace tolm
