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

} // namespace tolm
