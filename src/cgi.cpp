#include "cgi.h"

#include "connection.h"
#include "output.h"
#include "response.h"
#include "utils.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tolm {

namespace {

[[noreturn]] void cgi_failed(const char *script) {
    status(42, "%s", "error when trying run cgi");
    stop(1, "error when trying to execl %s", script);
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
    if (query[0] != '\0')
        esetenv("QUERY_STRING", query, 1);

    esnprintf(script, sizeof script, "%s", path + n + 1);
    if (script[0] == '\0')
        return 1;
    if (char *slash = strchr(script, '/')) {
        esetenv("PATH_INFO", slash, 1);
        *slash = '\0';
    }
    esetenv("SCRIPT_NAME", script, 1);
    esetenv("SERVER_NAME", hostname, 1);
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

// The pipe is read to its end before the child is waited for, so a script
// that writes more than a pipe holds never blocks on this process.
void cgi(const char *script) {
    // The child must not send what is still buffered here a second time.
    out_flush();
    int fds[2];
    learn_connection();
    if (pipe2(fds, O_CLOEXEC) != 0)
        cgi_failed(script);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        cgi_failed(script);
    }
    if (pid == 0) {
        // dup2 clears close-on-exec on descriptor 1 only: the script
        // inherits neither end of the pipe under another number.
        dup2(fds[1], 1);
        close(fds[1]);
        leave_connection();
        execl(script, script, static_cast<char *>(nullptr));
        close(fds[0]);
        cgi_failed(script);
    }
    close(fds[1]);
    _datasiz += static_cast<int64_t>(print_file(fds[0], false));
    // Closed before the wait: a script still writing to a client that is
    // gone or stalled gets SIGPIPE instead of blocking for ever.
    close(fds[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    finish();
}

} // namespace tolm
