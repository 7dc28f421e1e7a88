#include "privileges.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#ifdef __linux__
#include <sys/syscall.h>
#include <linux/capability.h>
#endif

namespace {

[[noreturn]] void fail(const char* what)
{
    perror(what);
    exit(1);
}

#if defined(__linux__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__DragonFly__)
// setresuid leaves no saved set-user-id behind, whoever owns the binary.
bool set_all_ids(uid_t uid, gid_t gid)
{
    return setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0;
}
#else
bool set_all_ids(uid_t uid, gid_t gid)
{
    return setgid(gid) == 0 && setuid(uid) == 0;
}
#endif

#ifdef __linux__
// Through the system call, so that the tool needs no capability library.
void clear_capabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capset, &header, data) != 0) {
        fail("dropping capabilities");
    }
    if (syscall(SYS_capget, &header, data) != 0) {
        fail("dropping capabilities");
    }
    for (const auto& word : data) {
        if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0) {
            errno = EPERM;
            fail("dropping capabilities");
        }
    }
}
#endif

}  // namespace

void raise_raw_socket_capability()
{
#ifdef __linux__
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) {
        return;
    }
    auto& word = data[CAP_TO_INDEX(CAP_NET_RAW)];
    const auto bit = CAP_TO_MASK(CAP_NET_RAW);
    if ((word.permitted & bit) != 0 && (word.effective & bit) == 0) {
        word.effective |= bit;
        (void)syscall(SYS_capset, &header, data);
    }
#endif
}

void drop_privileges()
{
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (uid != geteuid() || gid != getegid()) {
        if (!set_all_ids(uid, gid)) {
            fail("dropping privileges");
        }
        // A saved id left behind would let the process take the privilege back.
        if (geteuid() != uid || getegid() != gid || (uid != 0 && setuid(0) == 0)) {
            errno = EPERM;
            fail("dropping privileges");
        }
    }
#ifdef __linux__
    clear_capabilities();
#endif
}
