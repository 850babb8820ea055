// The system log: one datagram per line on /dev/log, "<pri>tag: message",
// left to the log daemon to stamp; a stream connection where the daemon
// listens on one. A slow daemon never holds the run for long.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <syslog.h>

namespace tolm {

// Connects to the log while /dev/log can still be found: call before a
// chroot. Without it the first line connects.
void open_log();

// A priority without a facility is logged as LOG_USER. A missing log socket
// loses the line silently, as with syslog(3); a daemon that does not take
// it in time loses it with a note on standard error.
void log_line(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Bytes below 0x20 and 0x7F in the message are written as %XX.
void vlog_line(int priority, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
// The message of the last line, as it was logged; valid until the next
// output.
const char *last_message(size_t *len);

} // namespace tolm
