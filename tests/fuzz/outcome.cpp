#include "outcome.h"

#include "response.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

Outcome outcome;

void reset() {
    outcome.code = 0;
    outcome.headers = 0;
    outcome.exit_code = -1;
    outcome.ended = false;
    outcome.meta[0] = '\0';
    outcome.detail[0] = '\0';
    memset(tolm::_request, 0, sizeof tolm::_request);
    tolm::_retcode = 0;
    tolm::_datasiz = 0;
}

void fail(const char *what) {
    fprintf(stderr, "property violated: %s\n", what);
    abort();
}

namespace {

[[noreturn]] void end(int exit_code) {
    outcome.ended = true;
    outcome.exit_code = exit_code;
    std::longjmp(outcome.jump, 1);
}

} // namespace

} // namespace fuzz

namespace tolm {

char _request[1025];
int32_t _retcode;
int64_t _datasiz;

// Formats the meta like the real header line, so that the sanitizers see
// every argument read, but keeps it instead of writing it.
void status(int code, const char *fmt, ...) {
    fuzz::check(fuzz::outcome.headers == 0, "a second header line in one run");
    fuzz::check(code >= 10 && code <= 99, "status code is not two digits");
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(fuzz::outcome.meta, sizeof fuzz::outcome.meta, fmt, ap);
    va_end(ap);
    fuzz::check(n >= 0, "meta cannot be formatted");
    ++fuzz::outcome.headers;
    fuzz::outcome.code = code;
    _retcode = code;
}

void stop(int code, const char *fmt, ...) {
    // Every failure end follows the header line that tells the client.
    fuzz::check(code == 0 || fuzz::outcome.headers == 1, "failure end without a header line");
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(fuzz::outcome.detail, sizeof fuzz::outcome.detail, fmt, ap);
    va_end(ap);
    fuzz::end(code);
}

void finish() {
    fuzz::end(0);
}

// The reasons beside an answer are formatted, so that the sanitizers see
// every argument read, and dropped: the run's outcome is what is checked.
void add_detail(const char *fmt, ...) {
    char line[1200];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
}

const char *reason_text(int err) {
    return strerror(err);
}

void add_reason(const char *what, const char *name, int err) {
    add_detail("%s(%s): %s", what, name, reason_text(err));
}

} // namespace tolm
