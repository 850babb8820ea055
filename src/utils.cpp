// Guarded wrappers that end the run on failure (esnprintf, esetenv,
// echdir), the copy loop and the regex-offset copy.
#include "utils.h"

#include "output.h"
#include "response.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace tolm {

int esnprintf(char *buf, size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n;
    // Most writes copy one text: skip the formatter, same result and limit.
    if (fmt[0] == '%' && fmt[1] == 's' && fmt[2] == '\0') {
        const char *text = va_arg(ap, const char *);
        const size_t len = strlen(text);
        n = len < size ? static_cast<int>(len) : -1;
        if (n >= 0)
            memcpy(buf, text, len + 1);
    } else {
        n = vsnprintf(buf, size, fmt, ap);
    }
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        status(41, "%s", "vnsprintf failed: Output trunkated");
        stop(1, "%s", "vsnprintf: Output trunkated");
    }
    return n;
}

namespace {

bool named(const char *entry, const char *name, size_t len) {
    return strncmp(entry, name, len) == 0 && entry[len] == '=';
}

// Whether the environment holds the name more than once, as a front end's
// may.
bool doubled(const char *name) {
    const size_t len = strlen(name);
    int copies = 0;
    for (char **e = environ; e != nullptr && *e != nullptr && copies < 2; ++e)
        copies += named(*e, name, len) ? 1 : 0;
    return copies > 1;
}

} // namespace

// setenv replaces only the first copy of a name, and a script reading a
// later one would see the front end's stale value: a doubled name goes
// first, every copy of it (as unsetenv removes them all). A single one is
// replaced where it stands.
void esetenv(const char *name, const char *value, int overwrite) {
    if (overwrite != 0 && doubled(name))
        unsetenv(name);
    if (setenv(name, value, overwrite) == 0)
        return;
    status(41, "%s", "setenv() failed, see logs");
    stop(1, "setenv() %s:%s", name, value);
}

void echdir(const char *path) {
    if (chdir(path) == 0)
        return;
    // A missing directory is what 51 and the detail already say; a host
    // name that a client made up must not add a line of its own.
    const int err = errno;
    if (err != ENOENT)
        add_reason("chdir", path, err);
    int code = 50;
    const char *meta = "Internal server error";
    if (err == ENOENT || err == ENOTDIR) {
        code = 51;
        meta = "file not found";
    } else if (err == EACCES) {
        meta = "Forbidden path";
    }
    status(code, "%s", meta);
    stop(1, "chdir(%s) failed", path);
}

// Copies a file of the given size, or a stream of unknown size (-1) to
// its end. A file that ends early cuts the response. Stops as soon as the
// client is gone or stalled: reading on would only feed a connection that
// takes nothing.
uint64_t print_file(int fd, int64_t size) {
    const uint64_t want = size < 0 ? UINT64_MAX : static_cast<uint64_t>(size);
    uint64_t total = 0;
    while (total < want && !out_failed()) {
        const ssize_t n = out_fill(fd, want - total);
        if (n <= 0) {
            if (size >= 0)
                out_cut(n == 0 ? shrank : unreadable);
            break;
        }
        total += static_cast<uint64_t>(n);
    }
    return total;
}

void getsubexp(const char *src, regoff_t start, regoff_t end, char *dst) {
    if (start == end) {
        dst[0] = '\0';
        return;
    }
    size_t len = static_cast<size_t>(end - start);
    memcpy(dst, src + start, len);
    dst[len] = '\0';
}

} // namespace tolm
