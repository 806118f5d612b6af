// A private, empty /tmp for the whole test program: a mount namespace of its
// own (inside a user namespace when not root) with a tmpfs on /tmp, so that
// tests may fill /tmp with the names the programs scan for. False when the
// kernel or the sandbox does not allow it; the test then skips.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

namespace orv_test {

inline bool private_tmp()
{
    static int state = 0;  // 0 not tried, 1 ready, -1 unavailable
    if (state != 0)
        return state > 0;
    state = -1;
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWNS) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
        std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return false;
    state = 1;
    return true;
}

}  // namespace orv_test
