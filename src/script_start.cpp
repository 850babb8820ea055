// The state a CGI script starts in. A front end hands tolm whatever it has:
// signals ignored or blocked (a shell's background job, nohup, a mask of
// its own), descriptors it leaked (stunnel's exec mode leaks a pipe). A
// script gets none of that: what it starts with is stated in the manual
// page, the same under every front end.
#include "script_start.h"

#include <climits>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tolm {

namespace {

// Linux 5.11; not in musl's headers.
constexpr unsigned close_range_cloexec = 1U << 2;

} // namespace

// Handlers go back to the default at exec by themselves; an ignored signal
// would stay ignored. Descriptors are marked close-on-exec rather than
// closed: should the exec fail, the child still logs why through the log
// socket and the saved standard error.
void give_script_known_start() {
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) {
        struct sigaction was {};
        if (sigaction(s, nullptr, &was) == 0 && was.sa_handler == SIG_IGN)
            sigaction(s, &by_default, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Before Linux 5.11 every descriptor the limit allows is marked.
    // (musl has no close_range wrapper.)
    if (syscall(SYS_close_range, 3U, UINT_MAX, close_range_cloexec) == 0)
        return;
    struct rlimit limit {};
    const rlim_t most =
        getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < INT_MAX ? limit.rlim_cur : 1024;
    for (int fd = 3; static_cast<rlim_t>(fd) < most; ++fd)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
}

} // namespace tolm
