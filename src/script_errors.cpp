// What a CGI script leaves for the operator. Its standard error is a pipe
// read beside its output, so that under every front end (inetd-style ones
// hand tolm the client socket as descriptor 2, stunnel in the background
// /dev/null) the operator finds it in the log; a few lines of it, cut to a
// bounded length, and the count of the rest: a chatty script neither floods
// the log nor, since the pipe is always drained, stalls on a full pipe. And
// a script that cannot be started gets the reason the system gave, told
// apart the way an operator fixes it.
#include "script_errors.h"

#include "response.h"
#include "root.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolm {

namespace {

// A log daemon's socket queues a few datagrams only (ten by default on
// Linux) until it reads them: a run's lines must fit, its request line and
// the count of what was dropped included.
constexpr int max_lines = 8;
constexpr size_t max_line = 240;
// One call reads at most this many times, so that a script that writes to
// standard error without pause cannot keep the relay from its output.
constexpr int reads_per_take = 16;

int reader = -1;
int writer = -1;
int saved_stderr = -1;
const char *script_name = "";
char line[max_line];
size_t line_len;
int lines;
unsigned long long dropped;

void end_line() {
    if (line_len > 0 && line[line_len - 1] == '\r')
        --line_len;
    if (line_len == 0)
        return;
    add_detail("%.64s stderr: %.*s", script_name, static_cast<int>(line_len), line);
    line_len = 0;
    ++lines;
}

void take_bytes(const char *bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const bool kept = lines < max_lines && (bytes[i] == '\n' || line_len < max_line);
        if (!kept)
            ++dropped;
        else if (bytes[i] == '\n')
            end_line();
        else
            line[line_len++] = bytes[i];
    }
}

void close_fd(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// The interpreter named on a "#!" line, cut at its first blank; empty
// when the file cannot be read or has no such line. cr tells whether the
// line ends in a carriage return, which the kernel takes as part of it.
void interpreter_of(const char *script, char *out, size_t size, bool *cr) {
    out[0] = '\0';
    *cr = false;
    const int fd = open(script, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return;
    char head[256];
    const ssize_t n = read(fd, head, sizeof head - 1);
    close(fd);
    if (n < 2 || head[0] != '#' || head[1] != '!')
        return;
    head[n] = '\0';
    char *end = strchr(head, '\n');
    if (end != nullptr)
        *end = '\0';
    const size_t len = strlen(head);
    *cr = len > 0 && head[len - 1] == '\r';
    const char *at = head + 2 + strspn(head + 2, " \t");
    const size_t word = strcspn(at, " \t\r");
    if (word < size) {
        memcpy(out, at, word);
        out[word] = '\0';
    }
}

} // namespace

void stderr_pipe_open(const char *script) {
    script_name = script;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    reader = fds[0];
    writer = fds[1];
    fcntl(reader, F_SETFL, O_NONBLOCK);
}

void stderr_pipe_enter() {
    if (writer < 0)
        return;
    saved_stderr = fcntl(2, F_DUPFD_CLOEXEC, 3);
    dup2(writer, 2);
}

void stderr_pipe_leave() {
    if (writer < 0)
        return;
    if (saved_stderr >= 0)
        dup2(saved_stderr, 2);
    else
        close(2);
    close_fd(reader);
}

void stderr_pipe_close_writer() {
    close_fd(writer);
}

int stderr_pipe_fd() {
    return reader;
}

void stderr_pipe_take() {
    char bytes[4096];
    for (int i = 0; i < reads_per_take && reader >= 0; ++i) {
        const ssize_t n = read(reader, bytes, sizeof bytes);
        if (n > 0) {
            take_bytes(bytes, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            close_fd(reader);
        } else if (errno == EAGAIN) {
            return;
        }
    }
}

// A process the script left behind may still hold the pipe: what it
// writes later is not waited for.
void stderr_pipe_end() {
    stderr_pipe_take();
    close_fd(reader);
    if (lines < max_lines)
        end_line();
    if (dropped > 0)
        add_detail("%.64s stderr: %llu more bytes not logged", script_name, dropped);
    dropped = 0;
}

// execve gives ENOENT both for a missing script and for a missing
// interpreter or program loader, and EACCES both for a file without the
// execute bit and for an interpreter that may not be run: the file itself
// tells them apart.
void explain_start_failure(const char *script, int err) {
    const char *why = reason_text(err);
    struct stat st {};
    if (stat(script, &st) != 0) {
        add_detail("%.64s: %s", script, reason_text(errno));
        return;
    }
    char interpreter[128];
    bool cr = false;
    interpreter_of(script, interpreter, sizeof interpreter, &cr);
    const char *where = chrooted() ? " inside the root" : "";
    if (S_ISDIR(st.st_mode))
        add_detail("%.64s: %s: a directory", script, why);
    else if (err == EACCES && access(script, X_OK) != 0)
        add_detail("%.64s: %s: the file is not executable", script, why);
    else if (err == ENOENT && cr)
        add_detail("%.64s: %s: its #! line ends in a carriage return (CRLF line ends)", script,
                   why);
    else if (err == ENOENT && interpreter[0] != '\0')
        add_detail("%.64s: %s: its interpreter %s is missing%s", script, why, interpreter, where);
    else if (err == ENOENT)
        add_detail("%.64s: %s: its program loader is missing%s", script, why, where);
    else if (err == EACCES && interpreter[0] != '\0')
        add_detail("%.64s: %s: its interpreter %s may not be run", script, why, interpreter);
    else if (err == ENOEXEC)
        add_detail("%.64s: %s: no #! line, and no program format the system knows", script, why);
    else
        add_detail("%.64s: %s", script, why);
}

} // namespace tolm
