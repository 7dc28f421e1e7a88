#include "sandbox.h"

#include "listener.h"
#include "privileges.h"
#include "probe.h"
#include "route.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace {

#if PMTU6_SANDBOX
// Runs `body` in a child process; returns its wait status.
template <typename F> int in_child(F body)
{
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());  // no exit handlers: a sanitizer's would need what is refused
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

// The tool's own setup towards ::1, then the confinement. Returns one bit for
// each thing that went otherwise than it should.
int confined_tool()
{
    const raw_socket raw = open_raw_socket();
    drop_privileges();
    const int probe_socket = open_probe_socket("::1");
    honour_configured_mtu(probe_socket);
    const int listener = open_listener(raw);
    const std::unique_ptr<reply_filter> filter(make_reply_filter(probe_socket));
    confine(probe_socket, listener);

    const auto refused = [](auto result) { return result < 0 && errno == EPERM; };
    int wrong = 0;
    wrong |= refused(open("/etc/hostname", O_RDONLY)) ? 0 : 1;
    wrong |= refused(socket(AF_INET6, SOCK_DGRAM, 0)) ? 0 : 2;
    char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
    wrong |= refused(execve("/bin/true", argv, environ)) ? 0 : 4;
    const pid_t forked = fork();
    if (forked == 0) {
        _exit(0);
    }
    wrong |= refused(forked) ? 0 : 8;
    // What probing needs still works: ::1 answers a probe with Port Unreachable.
    wrong |= send_probe(probe_socket, 1500) == send_result::sent ? 0 : 16;
    wrong |= wait_for_reply(listener, *filter) && read_reply(listener).mtu == -1 ? 0 : 32;
    return wrong;
}

TEST(Confine, NothingButProbingIsLeft)
{
    if (!confinement_built) {
        GTEST_SKIP() << "built without confinement";
    }
    if (geteuid() != 0) {
        if (const char* ci = std::getenv("CI"); ci != nullptr && std::strcmp(ci, "true") == 0) {
            FAIL() << "CI=true: the confinement test needs root for the raw socket";
        }
        GTEST_SKIP() << "needs root for the raw socket";
    }
    const int status = in_child(confined_tool);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    // 1 open, 2 socket, 4 execve, 8 fork, 16 send, 32 receive
    EXPECT_EQ(WEXITSTATUS(status), 0);

#if defined(__linux__) && defined(__x86_64__)
    // A call through the x32 ABI is foreign: it kills the process.
    const int x32 = in_child([] {
        confine(0, 0);
        return static_cast<int>(syscall(SYS_getpid | 0x40000000));
    });
    EXPECT_TRUE(WIFSIGNALED(x32) && WTERMSIG(x32) == SIGSYS) << x32;
#endif
}
#endif

}  // namespace
