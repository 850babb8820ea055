// The system log: one datagram per line on /dev/log, in the form glibc's
// syslog(3) sends with the default options, "<pri>Mmm dd hh:mm:ss tag:
// message", whichever C library the program is built with.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <syslog.h>

namespace tolm {

// Reads the time zone and connects to the log while both can still be
// found: call before a chroot. Without it the first line connects.
void open_log();

// A priority without a facility is logged as LOG_USER. Failures are silent,
// as with syslog(3): a missing log socket loses the line.
void log_line(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Bytes below 0x20 and 0x7F in the message are written as %XX.
void vlog_line(int priority, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
// The message of the last line, as it was logged; valid until the next
// output.
const char *last_message(size_t *len);

} // namespace tolm
