// The CGI gateway: whether a request names a script, the script's run in a
// process group of its own, and the relay of its output as it comes.
#include "cgi.h"

#include "client.h"
#include "connection.h"
#include "output.h"
#include "response.h"
#include "script_errors.h"
#include "script_start.h"
#include "utils.h"

#include "descriptor.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tolm {

namespace {

[[noreturn]] void cgi_failed(const char *script) {
    status(42, "%s", "error when trying run cgi");
    stop(1, "error when trying to execl %s", script);
}

// A script silent for this long is ended: SIGTERM to its process group,
// SIGKILL after the grace.
constexpr long silence_milliseconds = 30000;
constexpr int grace_milliseconds = 2000;
constexpr int look_milliseconds = 1000;

constexpr char silent[] = "response cut short: the script sent nothing for 30 s";
constexpr char hung_up[] = "response cut short: the client hung up";
constexpr char ran_on[] = "script ended: it ran on for 30 s after its output";

// Moves the script's output, each piece as it comes, until its end (null)
// or until it must be cut (why). Only proof that the client is gone ends a
// script early: a reset, or a socket pair whose other end closed. Many
// clients shut their sending side down once the request is sent and wait
// for the answer, so the end of the client's input, or more input, means
// nothing here; a client that then vanishes without a reset is caught by
// the silence limit or a failed write.
const char *relay(int from) {
    const int client = stdin_is_socket() ? 0 : -1;
    long last_output = monotonic_ms();
    for (;;) {
        if (terminated())
            return told_to_stop();
        if (out_failed())
            return out_cut_reason();
        const long left = last_output + silence_milliseconds - monotonic_ms();
        if (left <= 0)
            return silent;
        struct pollfd p[3] = {{from, POLLIN, 0}, {client, 0, 0}, {stderr_pipe_fd(), POLLIN, 0}};
        if (poll(p, 3, static_cast<int>(left < look_milliseconds ? left : look_milliseconds)) <= 0)
            continue;
        if (p[2].revents != 0)
            stderr_pipe_take();
        if (p[0].revents != 0) {
            const ssize_t n = out_splice(from);
            if (n <= 0)
                return nullptr;
            _datasiz += n;
            last_output = monotonic_ms();
        } else if ((p[1].revents & (POLLHUP | POLLERR)) != 0) {
            return hung_up;
        }
    }
}

// True once the script has ended within ms. A signal that ends the run ends
// the wait, unless the run is already ending the script. Without a pidfd (a
// kernel before 5.3) only such a signal limits the wait.
bool reap(pid_t pid, int pidfd, long ms, bool heed_signal) {
    if (pidfd < 0)
        return waitpid(pid, nullptr, 0) == pid;
    const long until = monotonic_ms() + ms;
    for (;;) {
        const long left = until - monotonic_ms();
        // A signal that came just before the poll began is seen at the
        // next look. The script's standard error is drained meanwhile: a
        // script that writes there after its output must not stall.
        struct pollfd p[2] = {{pidfd, POLLIN, 0}, {stderr_pipe_fd(), POLLIN, 0}};
        const int wait = static_cast<int>(left < look_milliseconds ? left : look_milliseconds);
        const int ready = left <= 0 ? 0 : poll(p, 2, wait);
        if (ready > 0 && p[1].revents != 0)
            stderr_pipe_take();
        if (left <= 0 || (ready > 0 && p[0].revents != 0) || (heed_signal && terminated()))
            return waitpid(pid, nullptr, WNOHANG) == pid;
    }
}

// The whole process group is ended, not only the script: a member that
// ignores SIGTERM, or outlives a script that obeyed, gets SIGKILL once the
// grace is over. A member that called setsid has left the group on purpose.
void end_script(pid_t pid, int pidfd) {
    kill(-pid, SIGTERM);
    const long until = monotonic_ms() + grace_milliseconds;
    const bool reaped = reap(pid, pidfd, grace_milliseconds, false);
    while (kill(-pid, 0) == 0 && monotonic_ms() < until)
        poll(nullptr, 0, 50);
    kill(-pid, SIGKILL);
    if (!reaped)
        waitpid(pid, nullptr, 0);
}

} // namespace

// A request names a script when the first strlen(cgi_dir) bytes of its path
// lead to the CGI directory itself (same inode), so a link to it as long as
// its name counts too, and a "/" follows them: "cgi-bin.gmi" and
// "cgi-bin2/x" are other names.
int do_cgi(const char *cgi_dir, const char *path, const char *hostname, const char *query) {
    char prefix[1024] = {};
    char script[1024] = {};
    const size_t n = strlen(cgi_dir);
    if (strlen(path) <= n || path[n] != '/')
        return 1;
    memcpy(prefix, path, n);

    struct stat dir_st {
    }, prefix_st{};
    if (stat(cgi_dir, &dir_st) != 0 || stat(prefix, &prefix_st) != 0)
        return 1;
    if (dir_st.st_ino != prefix_st.st_ino)
        return 1;

    esetenv("GATEWAY_INTERFACE", "CGI/1.1", 1);
    esetenv("SERVER_PROTOCOL", "GEMINI", 1);
    esetenv("SERVER_SOFTWARE", "tolm/1", 1);
    // A value inherited from the front end's environment must not reach the
    // script as if the client had sent it.
    if (query[0] != '\0')
        esetenv("QUERY_STRING", query, 1);
    else
        unsetenv("QUERY_STRING");

    esnprintf(script, sizeof script, "%s", path + n + 1);
    if (script[0] == '\0')
        return 1;
    if (char *slash = strchr(script, '/')) {
        esetenv("PATH_INFO", slash, 1);
        *slash = '\0';
    } else {
        unsetenv("PATH_INFO");
    }
    esetenv("SCRIPT_NAME", script, 1);
    esetenv("SERVER_NAME", hostname, 1);
    set_client_env();
    echdir(cgi_dir);
    cgi(script);
}

// The same file reached by another spelling (a "./" or "%2e" in front, a
// link to the directory) is still a script, and its source may hold
// credentials: the resolved paths decide, not the request's text.
void refuse_script_source(const char *cgi_dir, const char *path) {
    char dir[PATH_MAX];
    char file[PATH_MAX];
    struct stat st {};
    if (realpath(cgi_dir, dir) == nullptr || realpath(path, file) == nullptr ||
        stat(file, &st) != 0 || S_ISDIR(st.st_mode))
        return;
    const size_t n = strlen(dir);
    const bool inside = strncmp(file, dir, n) == 0 && (file[n] == '/' || (n == 1 && dir[0] == '/'));
    if (!inside)
        return;
    status(51, "%s", "file not found");
    finish();
}

// Each piece of the script's output goes to the client as it comes, and
// the end of the output ends the response at once: the connection is
// finished before the script is waited for. A script that sends nothing
// for 30 s, whose client hangs up, or that runs on 30 s after its output
// is ended, with its process group.
void cgi(const char *script) {
    // The child must not send what is still buffered here a second time.
    out_flush();
    int fds[2];
    learn_connection();
    if (pipe2(fds, O_CLOEXEC) != 0) {
        add_reason("pipe", script, errno);
        cgi_failed(script);
    }
    stderr_pipe_open(script);
    const pid_t pid = fork();
    if (pid < 0) {
        add_reason("fork", script, errno);
        close(fds[0]);
        close(fds[1]);
        cgi_failed(script);
    }
    if (pid == 0) {
        setpgid(0, 0);
        // dup2 clears close-on-exec on descriptor 1 only: the script
        // inherits neither end of the pipe under another number.
        dup2(fds[1], 1);
        close(fds[1]);
        leave_connection();
        stderr_pipe_enter();
        give_script_known_start();
        execl(script, script, static_cast<char *>(nullptr));
        const int err = errno;
        close(fds[0]);
        stderr_pipe_leave();
        explain_start_failure(script, err);
        cgi_failed(script);
    }
    // Made here as well: whichever of the two runs first.
    setpgid(pid, pid);
    pass_term_to(pid);
    close(fds[1]);
    stderr_pipe_close_writer();
    const Descriptor pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    const char *why = relay(fds[0]);
    close(fds[0]);
    if (why == nullptr) {
        if (out_flush())
            close_connection();
        why = out_cut_reason();
    }
    if (why == nullptr && reap(pid, pidfd.get(), silence_milliseconds, true) && !terminated()) {
        stderr_pipe_end();
        finish();
    }
    end_script(pid, pidfd.get());
    stderr_pipe_end();
    if (why == nullptr)
        stop(1, "%s", terminated() ? told_to_stop() : ran_on);
    out_cut(why);
    finish();
}

} // namespace tolm
