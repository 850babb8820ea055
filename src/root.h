// Entering the content root, confined by chroot when an account is given,
// and switching to that account.
#pragma once

#include <sys/types.h>

namespace tolm {

struct Account {
    uid_t uid;
    gid_t gid;
};

Account check_user(const char *user);
void set_rootdir(const char *chroot_dir, const char *user);
// Whether the content root has become "/".
bool chrooted();
void drop_privileges(const char *user, uid_t uid, gid_t gid);

} // namespace tolm
