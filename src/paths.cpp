// The request path: percent-decoding, "/.." stripping, confinement below
// the content root, and what the name turns out to be (file, index,
// redirect or not found).
#include "paths.h"

#include "content.h"
#include "response.h"
#include "utils.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tolm {

namespace {

void drop_front(char *text, size_t n) {
    memmove(text, text + n, strlen(text + n) + 1);
}

} // namespace

// Escapes are converted leniently by strtol, and a decoded byte is never
// looked at again, so "%254a" stays "%4a". A decoded NUL cuts the text.
int uridecode(char *text) {
    int replaced = 0;
    char *at = strchr(text, '%');
    while (at != nullptr && strlen(at) >= 3) {
        const char hex[3] = {static_cast<char>(tolower(static_cast<unsigned char>(at[1]))),
                             static_cast<char>(tolower(static_cast<unsigned char>(at[2]))), '\0'};
        *at = static_cast<char>(strtol(hex, nullptr, 16) & 0xff);
        drop_front(at + 1, 2);
        ++replaced;
        at = strchr(at + 1, '%');
    }
    return replaced;
}

void remove_double_dot(char *text) {
    while (const char *at = strstr(text, "/.."))
        drop_front(text, static_cast<size_t>(at - text) + 3);
}

// The stripping can leave an absolute path or a leading "../". Without a
// chroot either names a file outside the content root, and with one a
// leading "/" turns the directory redirect into "//host" for clients.
void confine_path(char *path) {
    for (;;) {
        if (path[0] == '/')
            drop_front(path, 1);
        else if (strncmp(path, "../", 3) == 0)
            drop_front(path, 3);
        else if (strcmp(path, "..") == 0)
            path[0] = '\0';
        else
            return;
    }
}

namespace {

[[noreturn]] void not_found() {
    status(51, "%s", "file not found");
    finish();
}

// The client hears "not found" either way; the operator learns when the
// file may be there but tolm may not reach it (a mode, an owner, a root the
// account cannot search). What a request's own text causes, a missing or
// overlong name, stays out of the error log.
[[noreturn]] void unreachable(const char *name, int err) {
    if (err == EACCES || err == EPERM)
        add_reason("stat", name, err);
    not_found();
}

// A name may hold any byte but NUL; the header line must stay one line.
[[noreturn]] void redirect(int code, const char *target,
                           void (*encode)(const char *, char *, size_t)) {
    char meta[3 * 1024 + 1];
    encode(target, meta, sizeof meta);
    status(code, "%s", meta);
    finish();
}

} // namespace

// Only a regular file is ever delivered. A FIFO would block the open, a
// device would stream for ever, and a directory has no bytes to send: a
// directory is an index file, a listing or nothing at all.
void check_path(char *path, size_t size) {
    char work[1024] = {};
    struct stat st {};
    if (stat(path, &st) == 0) {
        if (S_ISREG(st.st_mode))
            return;
        if (!S_ISDIR(st.st_mode))
            not_found();
        if (path[strlen(path) - 1] == '/') {
            esnprintf(work, sizeof work, "%s/%s", path, "index.gmi");
            const int err = stat(work, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : ENOENT;
            if (err == 0)
                esnprintf(path, size, "%s", work);
            else if (!doautoidx)
                unreachable(work, err);
            return;
        }
        // The name as a listing links it: a raw "?", "#" or blank would
        // send the client to another path.
        esnprintf(work, sizeof work, "/%s/", path);
        redirect(31, work, encode_link);
    }
    const int err = errno;
    // A link target that fills the whole work text may have been cut by
    // readlink: no redirect is better than one to the wrong place. The
    // target is the operator's, often a full URL: only its control bytes
    // are encoded.
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        ssize_t n = readlink(path, work, sizeof work);
        if (n > 0 && static_cast<size_t>(n) < sizeof work)
            redirect(30, work, encode_controls);
    }
    unreachable(path, err);
}

} // namespace tolm
