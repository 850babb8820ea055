// The state a CGI script starts in. A front end hands tolm whatever it has:
// signals ignored or blocked (a shell's background job, nohup, a mask of
// its own), descriptors it leaked (stunnel's exec mode leaks a pipe). A
// script gets none of that: what it starts with is stated in the manual
// page, the same under every front end.
#include "script_start.h"

#include <climits>
#include <csignal>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tolm {

// Handlers go back to the default at exec by themselves; an ignored signal
// would stay ignored. SIGKILL and SIGSTOP, and the C library's own signals,
// refuse the call, which changes nothing.
void give_script_known_start() {
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s)
        sigaction(s, &by_default, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // close_range came with Linux 5.9; before it, every descriptor the
    // limit allows is tried. (musl has no wrapper.)
    if (syscall(SYS_close_range, 3U, UINT_MAX, 0U) == 0)
        return;
    struct rlimit limit {};
    const rlim_t most =
        getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < INT_MAX ? limit.rlim_cur : 1024;
    for (int fd = 3; static_cast<rlim_t>(fd) < most; ++fd)
        close(fd);
}

} // namespace tolm
