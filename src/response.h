// The request record, the header line and the two ways a run ends.
#pragma once

#include <cstdint>

namespace tolm {

extern char _request[1025];
extern int32_t _retcode;
extern int64_t _datasiz;

void status(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void stop(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void finish();

// One more line for the operator, beside the client's answer and the run's
// own log lines: logged at err after them, and shown on standard error
// where the detail of a failure is. What does not fit the room of a few
// kilobytes is dropped, the last line cut.
void add_detail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The system's reason for a failed call on a name: "chdir(/x): No such file
// or directory".
void add_reason(const char *what, const char *name, int err);
// strerror's text, the same in every build.
const char *reason_text(int err);

} // namespace tolm
