// Confinement: the account check, entering the content root (by chroot
// with -u) and dropping privileges.
#include "root.h"

#include "log.h"
#include "response.h"
#include "utils.h"

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace tolm {

namespace {

bool confined;

void refuse() {
    status(41, "%s", "privileges issue, see logs");
}

[[noreturn]] void unknown(const char *user) {
    refuse();
    stop(1, "the user %s can't be found on the system", user);
}

} // namespace

// The root check comes first, and the lookup happens before the chroot so
// that it reads the system's account database, not the content root's.
Account check_user(const char *user) {
    if (getuid() != 0) {
        refuse();
        stop(1, "%s", "chroot requires program to be run as root");
    }
    // No account has an empty name, whatever a passwd file holds.
    if (user[0] == '\0')
        unknown(user);
    const struct passwd *pw = getpwnam(user);
    if (pw == nullptr)
        unknown(user);
    return {pw->pw_uid, pw->pw_gid};
}

void set_rootdir(const char *chroot_dir, const char *user) {
    char dir[1024] = {};
    if (user[0] != '\0') {
        // Inside the new root there is no /dev/log: connect to the log while
        // it can still be found.
        open_log();
        if (chroot(chroot_dir) != 0) {
            add_reason("chroot", chroot_dir, errno);
            refuse();
            stop(1, "the chroot_dir %s can't be used for chroot", chroot_dir);
        }
        confined = true;
        esnprintf(dir, sizeof dir, "%s", "/");
    } else {
        esnprintf(dir, sizeof dir, "%s", chroot_dir);
    }
    echdir(dir);
}

bool chrooted() {
    return confined;
}

// Groups before user ids: once the user id is dropped, the group ids can no
// longer be changed.
void drop_privileges(const char *user, uid_t uid, gid_t gid) {
    if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) {
        refuse();
        stop(1, "dropping privileges to user %s (uid=%i) failed", user, static_cast<int>(uid));
    }
}

} // namespace tolm
