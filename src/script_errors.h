// What a CGI script leaves for the operator: why it could not be started,
// and what it wrote on its standard error.
#pragma once

namespace tolm {

// Before the fork: a pipe that becomes the script's standard error. Without
// one the script keeps tolm's standard error, as before.
void stderr_pipe_open(const char *script);
// In the child, just before the exec.
void stderr_pipe_enter();
// In the child whose exec failed: standard error as it was, so that the
// child's own detail is not read back as the script's.
void stderr_pipe_leave();
// In the server after the fork.
void stderr_pipe_close_writer();
// The read end while it is open, -1 otherwise: for poll.
int stderr_pipe_fd();
// Takes what the pipe holds without waiting, within the run's bounds.
void stderr_pipe_take();
// Takes what is left without waiting and hands the lines to the run's end.
void stderr_pipe_end();

// In the child whose exec failed with err: the reason, as a detail line.
void explain_start_failure(const char *script, int err);

} // namespace tolm
