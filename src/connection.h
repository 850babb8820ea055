// What the process does about its client connection: when it is a socket,
// time limits on a slow client, and an orderly close or, for a cut answer,
// a reset; a client that hangs up never kills the run before its log line.
#pragma once

#include <cstddef>
#include <sys/types.h>
#include <sys/uio.h>

namespace tolm {

long monotonic_ms();
// Also makes SIGTERM, SIGHUP, SIGINT and SIGQUIT end the run with its log
// line.
void mark_start();
bool terminated();
// "terminated by SIGTERM", or the name of the signal that came.
const char *told_to_stop();
// A SIGTERM from now on, or one already received, goes to this group too.
void pass_term_to(pid_t group);
// Before a CGI child replaces descriptor 1: what 0, 1 and 2 are.
void learn_connection();
void leave_connection();
void ignore_sigpipe();
// What is left of the few seconds a run may wait at its end, for the log
// and standard error together; the first call starts the clock.
long end_wait_left();
// Writes to descriptor 2, dropping what could not be written within ms.
void write_stderr(struct iovec *parts, int count, long ms);
// Whether reading the request found a terminal (tolm started by hand).
bool stdin_is_terminal();
bool stderr_is_stdout();
bool stdout_is_socket();
bool stdin_is_socket();
ssize_t read_request_bytes(char *into, size_t size);
// The same, for a PROXY protocol header; with to_line_end the read stops
// after the first line feed.
ssize_t read_header_bytes(char *into, size_t size, bool to_line_end);
// The line feed arrived, and whether more followed it in the same read.
void request_line_ended(bool more_followed);
ssize_t write_stdout(const char *data, size_t size);
void close_connection();
void abort_connection();

} // namespace tolm
