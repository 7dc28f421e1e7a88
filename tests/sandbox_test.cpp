#include "sandbox.h"

#include "listener.h"
#include "privileges.h"
#include "probe.h"
#include "route.h"

#include <sys/types.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>
#ifdef __linux__
#include <sys/syscall.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
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

// What a confined call may use: the tool's own sockets and one more
// descriptor that was open before the confinement.
struct tool_sockets {
    int probe = -1;
    int listener = -1;
    int ipv4_listener = -1;
    int spare = -1;
    reply_filter filter;
};

// The tool's own setup towards ::1, then the confinement.
tool_sockets confined_tool()
{
    tool_sockets tool;
    const raw_socket raw = open_raw_socket();
    tool.ipv4_listener = open_ipv4_listener();
    drop_privileges();
    tool.probe = open_probe_socket("::1");
    honour_configured_mtu(tool.probe);
    tool.listener = open_listener(raw);
    const std::unique_ptr<reply_filter> filter(make_reply_filter(tool.probe));
    tool.filter = *filter;
    keep_only_replies(tool.listener, tool.filter);
    keep_only_ipv4_replies(tool.ipv4_listener, tool.filter);
    int spare[2] = {-1, -1};
    (void)pipe(spare);
    tool.spare = spare[1];
    confine(tool.probe, tool.listener, tool.ipv4_listener);
    return tool;
}

#if defined(__linux__) && defined(__x86_64__)
// A call through the i386 ABI, as a 32-bit program makes it.
long i386_call(long number)
{
    long result = number;
    asm volatile("int $0x80" : "+a"(result) : : "memory", "r8", "r9", "r10", "r11");
    return result;
}
constexpr long i386_getpid = 20;
#endif

enum class outcome { refused, works, killed };

// Exit statuses of a confined child; none of them can be mistaken for a
// program that the child became.
constexpr int went_through = 42;
constexpr int refused_eperm = 43;
constexpr int failed_otherwise = 44;

struct confined_call {
    const char* name;
    outcome expected;
    bool (*call)(const tool_sockets&);  // true when the call went through
};

const confined_call confined_calls[] = {
    {"open a file", outcome::refused,
     [](const tool_sockets&) { return open("/etc/hostname", O_RDONLY) >= 0; }},
    {"create a socket", outcome::refused,
     [](const tool_sockets&) { return socket(AF_INET6, SOCK_DGRAM, 0) >= 0; }},
    {"execute a program", outcome::refused,
     [](const tool_sockets&) {
         char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
         return execve("/bin/true", argv, environ) >= 0;
     }},
    {"fork", outcome::refused,
     [](const tool_sockets&) {
         const pid_t forked = fork();
         if (forked == 0) {
             _exit(0);
         }
         return forked >= 0;
     }},
    {"send on the listener", outcome::refused,
     [](const tool_sockets& t) {
         sockaddr_in6 loopback{};
         loopback.sin6_family = AF_INET6;
         loopback.sin6_addr = in6addr_loopback;
         const char echo[8] = {static_cast<char>(128)};
         return sendto(t.listener, echo, sizeof echo, 0,
                       reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback) >= 0;
     }},
    {"set an option of the listener", outcome::refused,
     [](const tool_sockets& t) {
         const int on = 1;
         return setsockopt(t.listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) >= 0;
     }},
#ifdef __linux__
    {"read the IPv4 listener", outcome::works,
     [](const tool_sockets& t) {
         std::array<char, 64> datagram{};
         return recv(t.ipv4_listener, datagram.data(), datagram.size(), MSG_DONTWAIT) >= 0 ||
                errno == EAGAIN;
     }},
    {"send on the IPv4 listener", outcome::refused,
     [](const tool_sockets& t) {
         sockaddr_in loopback{};
         loopback.sin_family = AF_INET;
         loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
         const char echo[8] = {8};
         return sendto(t.ipv4_listener, echo, sizeof echo, 0,
                       reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback) >= 0;
     }},
    {"write on the IPv4 listener", outcome::refused,
     [](const tool_sockets& t) { return write(t.ipv4_listener, "x", 1) >= 0; }},
    {"set an option of the IPv4 listener", outcome::refused,
     [](const tool_sockets& t) {
         const int on = 1;
         return setsockopt(t.ipv4_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) >= 0;
     }},
#endif
    {"write on the probe socket", outcome::refused,
     [](const tool_sockets& t) { return write(t.probe, "x", 1) >= 0; }},
    {"write on another descriptor", outcome::refused,
     [](const tool_sockets& t) { return write(t.spare, "x", 1) >= 0; }},
    {"write on standard input", outcome::refused,
     [](const tool_sockets&) { return write(0, "", 0) >= 0; }},
    {"write on standard error", outcome::works,
     [](const tool_sockets&) { return write(2, "", 0) >= 0; }},
    {"ioctl other than the terminal query", outcome::refused,
     [](const tool_sockets& t) {
         int queued = 0;
         return ioctl(t.listener, FIONREAD, &queued) >= 0;
     }},
    {"map executable memory", outcome::refused,
     [](const tool_sockets&) {
         return mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) !=
                MAP_FAILED;
     }},
    {"map memory", outcome::works,
     [](const tool_sockets&) {
         return mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) !=
                MAP_FAILED;
     }},
    // ::1 answers a probe with Port Unreachable.
    {"probe and read the answer", outcome::works,
     [](const tool_sockets& t) {
         return send_probe(t.probe, 1500) == send_result::sent &&
                wait_for_reply(t.listener, t.filter) && read_reply(t.listener, t.filter).mtu == -1;
     }},
#if defined(__linux__) && defined(__x86_64__)
    {"a call through the x32 ABI", outcome::killed,
     [](const tool_sockets&) { return syscall(SYS_getpid | 0x40000000) >= 0; }},
    {"a call through the i386 ABI", outcome::killed,
     [](const tool_sockets&) { return i386_call(i386_getpid) >= 0; }},
#endif
};

bool needs_root()
{
    if (geteuid() == 0) {
        return false;
    }
    if (const char* ci = std::getenv("CI"); ci != nullptr && std::strcmp(ci, "true") == 0) {
        ADD_FAILURE() << "CI=true: the confinement test needs root for the raw socket";
    }
    return true;
}

TEST(Confine, NothingButProbingIsLeft)
{
    if (!confinement_built) {
        GTEST_SKIP() << "built without confinement";
    }
    if (needs_root()) {
        GTEST_SKIP() << "needs root for the raw socket";
    }
    for (const auto& row : confined_calls) {
#if defined(__linux__) && defined(__x86_64__)
        if (std::strstr(row.name, "i386") != nullptr &&
            in_child([] { return i386_call(i386_getpid) == getpid() ? 0 : 1; }) != 0) {
            continue;  // this system runs no i386 calls, confined or not
        }
#endif
        const int status = in_child([&row] {
            const tool_sockets tool = confined_tool();
            errno = 0;
            if (row.call(tool)) {
                return went_through;
            }
            return errno == EPERM ? refused_eperm : failed_otherwise;
        });
        if (row.expected == outcome::killed) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS)
                << row.name << ": status " << status;
        } else {
            ASSERT_TRUE(WIFEXITED(status)) << row.name << ": signal " << WTERMSIG(status);
            EXPECT_EQ(WEXITSTATUS(status),
                      row.expected == outcome::works ? went_through : refused_eperm)
                << row.name << " (" << went_through << " went through, " << refused_eperm
                << " EPERM, " << failed_otherwise << " another error)";
        }
    }
}

#if defined(__linux__) && defined(__x86_64__)
// Runs a classic-BPF program over one call, as the kernel does; fails on an
// instruction it does not know.
std::uint32_t run_filter(const std::vector<sock_filter>& program, const seccomp_data& call)
{
    std::uint32_t a = 0;
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter& i = program[pc];
        switch (i.code) {
        case BPF_LD | BPF_W | BPF_ABS:
            if (i.k + sizeof a > sizeof call) {
                ADD_FAILURE() << "load beyond the call at " << pc;
                return 0;
            }
            std::memcpy(&a, reinterpret_cast<const char*>(&call) + i.k, sizeof a);
            break;
        case BPF_ALU | BPF_AND | BPF_K:
            a &= i.k;
            break;
        case BPF_JMP | BPF_JEQ | BPF_K:
            pc += a == i.k ? i.jt : i.jf;
            break;
        case BPF_JMP | BPF_JGE | BPF_K:
            pc += a >= i.k ? i.jt : i.jf;
            break;
        case BPF_RET | BPF_K:
            return i.k;
        default:
            ADD_FAILURE() << "instruction " << i.code << " at " << pc;
            return 0;
        }
    }
    ADD_FAILURE() << "the program runs off its end";
    return 0;
}

// The program itself, over calls no test process can make: another
// architecture is killed whatever the call, and an argument counts whole.
TEST(Confine, ProgramJudgesEveryArchitectureAndArgument)
{
    if (!confinement_built) {
        GTEST_SKIP() << "built without confinement";
    }
    constexpr std::uint32_t allowed = SECCOMP_RET_ALLOW;
    constexpr std::uint32_t refused = SECCOMP_RET_ERRNO | EPERM;
    constexpr std::uint32_t killed = SECCOMP_RET_KILL_PROCESS;
    constexpr std::uint32_t x86_64 = AUDIT_ARCH_X86_64;
    const struct {
        const char* name;
        std::uint32_t arch;
        long call;
        std::array<std::uint64_t, 6> args;
        std::uint32_t action;
    } cases[] = {
        {"send on the probe socket", x86_64, SYS_sendto, {3}, allowed},
        {"send on the listener", x86_64, SYS_sendto, {4}, refused},
        {"read the IPv4 listener", x86_64, SYS_recvfrom, {5}, allowed},
        {"send on the IPv4 listener", x86_64, SYS_sendto, {5}, refused},
        {"read another descriptor", x86_64, SYS_recvfrom, {6}, refused},
        {"send on the probe socket with a high half set",
         x86_64,
         SYS_sendto,
         {3 | 1ULL << 32},
         refused},
        {"write on standard output", x86_64, SYS_write, {1}, allowed},
        {"readable memory", x86_64, SYS_mmap, {0, 4096, PROT_READ | PROT_WRITE}, allowed},
        {"executable memory", x86_64, SYS_mmap, {0, 4096, PROT_READ | PROT_EXEC}, refused},
        {"getpid", x86_64, SYS_getpid, {}, refused},
        {"x32 getpid", x86_64, SYS_getpid | 0x40000000, {}, killed},
        {"i386 with the number of sendto", AUDIT_ARCH_I386, SYS_sendto, {3}, killed},
        {"i386 with the number of exit_group", AUDIT_ARCH_I386, SYS_exit_group, {}, killed},
        {"i386 getpid", AUDIT_ARCH_I386, 20, {}, killed},
        {"aarch64 write", AUDIT_ARCH_AARCH64, 64, {1}, killed},
    };
    const auto program = confinement_program(3, 4, 5);
    for (const auto& c : cases) {
        seccomp_data call{};
        call.arch = c.arch;
        call.nr = static_cast<int>(c.call);
        std::copy(c.args.begin(), c.args.end(), std::begin(call.args));
        EXPECT_EQ(run_filter(program, call), c.action) << c.name;
    }
}
#endif
#endif

}  // namespace
