#include "response.h"

#include "connection.h"
#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace tolm {

char _request[1025];
int32_t _retcode;
int64_t _datasiz;

// A fixed buffer instead of one from the heap, as large as the copy loop's
// block: a small response leaves in one write, and a body in writes of
// that size, which a pipe's reader keeps up with better than larger ones.
void buffer_output() {
    static char buffer[8192];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void status(int code, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    _datasiz += fprintf(stdout, "%i ", code);
    _datasiz += vfprintf(stdout, fmt, ap);
    _datasiz += fprintf(stdout, "\r\n");
    va_end(ap);
    _retcode = code;
}

namespace {

void log_request() {
    log_line(LOG_DAEMON | LOG_INFO, "\"%s\" %i %zd", _request, _retcode,
             static_cast<ssize_t>(_datasiz));
}

[[noreturn]] void end_run(int code) {
    close_connection();
    exit(code);
}

} // namespace

void stop(int code, const char *fmt, ...) {
    fflush(stdout);
    log_request();
    if (code != 0) {
        va_list ap;
        va_start(ap, fmt);
        va_list again;
        va_copy(again, ap);
        vlog_line(LOG_ERR, fmt, ap);
        // Under inetd-style super-servers descriptor 2 is often the client
        // socket itself: the detail would reach the client behind the header.
        if (!stderr_is_stdout())
            vfprintf(stderr, fmt, again);
        va_end(again);
        va_end(ap);
    }
    end_run(code);
}

void finish() {
    fflush(stdout);
    log_request();
    end_run(0);
}

} // namespace tolm
