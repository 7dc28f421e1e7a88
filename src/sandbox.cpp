#include "sandbox.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#if PMTU6_SANDBOX && defined(__linux__)
#include <sys/types.h>
#include <sys/mman.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

#if defined(__x86_64__)
#define SANDBOX_ARCH AUDIT_ARCH_X86_64
#elif defined(__i386__)
#define SANDBOX_ARCH AUDIT_ARCH_I386
#elif defined(__aarch64__)
#define SANDBOX_ARCH AUDIT_ARCH_AARCH64
#elif defined(__arm__) && defined(__ARMEL__)
#define SANDBOX_ARCH AUDIT_ARCH_ARM
#elif defined(__riscv) && __riscv_xlen == 64
#define SANDBOX_ARCH AUDIT_ARCH_RISCV64
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define SANDBOX_ARCH AUDIT_ARCH_PPC64LE
#elif defined(__s390x__)
#define SANDBOX_ARCH AUDIT_ARCH_S390X
#endif
#elif PMTU6_SANDBOX && defined(__FreeBSD__)
#include <sys/capsicum.h>
#elif PMTU6_SANDBOX && defined(__OpenBSD__)
#include <unistd.h>
#endif

namespace {

[[noreturn, maybe_unused]] void fail()
{
    perror("sandbox");
    exit(1);
}

}  // namespace

#if PMTU6_SANDBOX && defined(__linux__) && defined(SANDBOX_ARCH)

const bool confinement_built = true;

namespace {

// The value an argument must have.
enum class must_be : std::uint8_t {
    probe_socket,
    listener,
    ipv4_listener,
    standard_output,
    standard_error,
    k
};

// What a rule asks of argument `arg`: nothing, that it is `value`, or that it
// has no bit outside `k`.
enum class test : std::uint8_t { none, equals, within };

struct rule {
    long call;
    test check = test::none;
    unsigned arg = 0;
    must_be value{};
    std::uint32_t k = 0;
};

constexpr rule allow(long call)
{
    return {call};
}

constexpr rule allow_on(long call, must_be descriptor)
{
    return {call, test::equals, 0, descriptor};
}

constexpr rule allow_if(long call, unsigned arg, std::uint32_t value)
{
    return {call, test::equals, arg, must_be::k, value};
}

constexpr rule allow_bits(long call, unsigned arg, std::uint32_t bits)
{
    return {call, test::within, arg, {}, bits};
}

// Everything the probe loop and the result line call, and nothing else.
constexpr rule rules[] = {
    allow_on(SYS_sendto, must_be::probe_socket),      // send(): the probes
    allow_on(SYS_getsockopt, must_be::probe_socket),  // SO_ERROR before each probe
    allow_on(SYS_setsockopt, must_be::probe_socket),  // check a probe against the learned MTU
    allow_on(SYS_recvmsg, must_be::probe_socket),     // the MTU of a refused probe
    allow_on(SYS_recvfrom, must_be::listener),        // recv(): peek at and read an error
    allow_on(SYS_recvfrom, must_be::ipv4_listener),   // and at ICMP about this host's tunnel
#ifdef SYS_poll
    allow(SYS_poll),
#endif
#ifdef SYS_ppoll
    allow(SYS_ppoll),  // poll() where the system has no poll call
#endif
#ifdef SYS_ppoll_time64
    allow(SYS_ppoll_time64),
#endif
    // steady_clock, where the vDSO falls back to the kernel
    allow(SYS_clock_gettime),
#ifdef SYS_clock_gettime64
    allow(SYS_clock_gettime64),
#endif
    allow(SYS_restart_syscall),  // a wait resumed after the process was stopped
    // stdio writes the result line, having sized standard output's buffer
    allow_on(SYS_write, must_be::standard_output),
    allow_on(SYS_write, must_be::standard_error),
    allow_on(SYS_writev, must_be::standard_output),
#ifdef SYS_newfstatat
    allow_on(SYS_newfstatat, must_be::standard_output),
#endif
#ifdef SYS_fstat
    allow_on(SYS_fstat, must_be::standard_output),
#endif
#ifdef SYS_fstat64
    allow_on(SYS_fstat64, must_be::standard_output),
#endif
#ifdef SYS_fstatat64
    allow_on(SYS_fstatat64, must_be::standard_output),
#endif
#ifdef SYS_statx
    allow_on(SYS_statx, must_be::standard_output),
#endif
    allow_if(SYS_ioctl, 1, TCGETS),  // is standard output a terminal?
    // malloc; no memory is ever made executable
    allow(SYS_brk),
#ifdef SYS_mmap
    allow_bits(SYS_mmap, 2, PROT_READ | PROT_WRITE),
#endif
#ifdef SYS_mmap2
    allow_bits(SYS_mmap2, 2, PROT_READ | PROT_WRITE),
#endif
    allow(SYS_munmap),
    allow(SYS_mremap),
    // exit
    allow(SYS_rt_sigreturn),
    allow(SYS_exit_group),
    allow(SYS_exit),
};

constexpr std::uint32_t argument_offset(unsigned arg, bool high)
{
    const bool first_half = (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) != high;
    return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + sizeof(std::uint64_t) * arg +
                                      (first_half ? 0 : 4));
}

constexpr sock_filter statement(std::uint16_t code, std::uint32_t k)
{
    return {code, 0, 0, k};
}

constexpr sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t yes, std::uint8_t no)
{
    return {code, yes, no, k};
}

constexpr auto load = BPF_LD | BPF_W | BPF_ABS;
constexpr auto equal = BPF_JMP | BPF_JEQ | BPF_K;
constexpr auto at_least = BPF_JMP | BPF_JGE | BPF_K;
constexpr auto give = BPF_RET | BPF_K;
constexpr std::uint32_t call_number = offsetof(seccomp_data, nr);
constexpr std::size_t rule_count = std::size(rules);
constexpr std::size_t run_rules = 4;

// The rules by call number, in runs of a few: the program skips each run that
// cannot hold the call, so that neither a call nor the kernel's
// precomputation of the filter's answers walks every rule.
constexpr std::array<rule, rule_count> sorted_rules()
{
    std::array<rule, rule_count> sorted{};
    std::copy(std::begin(rules), std::end(rules), sorted.begin());
    std::sort(sorted.begin(), sorted.end(),
              [](const rule& a, const rule& b) { return a.call < b.call; });
    return sorted;
}
constexpr auto by_call = sorted_rules();

constexpr std::size_t length_of(const rule& r)
{
    return r.check == test::equals ? 7 : r.check == test::within ? 6 : 2;
}

// The end of the run that starts at `start`: never between two rules for the
// same call.
constexpr std::size_t run_end(std::size_t start)
{
    std::size_t end = std::min(start + run_rules, rule_count);
    while (end < rule_count && by_call[end].call == by_call[end - 1].call) {
        ++end;
    }
    return end;
}

// A run's rules and the default after them.
constexpr std::size_t run_length(std::size_t start)
{
    std::size_t length = 1;
    for (std::size_t r = start; r < run_end(start); ++r) {
        length += length_of(by_call[r]);
    }
    return length;
}

constexpr std::size_t program_length()
{
    std::size_t length = 4;  // the architecture check
#ifdef __x86_64__
    length += 2;  // the x32 check
#endif
    for (std::size_t start = 0; start < rule_count; start = run_end(start)) {
        length += (run_end(start) < rule_count ? 1 : 0) + run_length(start);
    }
    return length;
}

using program = std::array<sock_filter, program_length()>;

constexpr void emit_rule(program& p, std::size_t& i, const rule& r, int probe_socket, int listener,
                         int ipv4_listener)
{
    const auto call = static_cast<std::uint32_t>(r.call);
    if (r.check == test::equals) {
        const std::uint32_t values[] = {static_cast<std::uint32_t>(probe_socket),
                                        static_cast<std::uint32_t>(listener),
                                        static_cast<std::uint32_t>(ipv4_listener),
                                        1,
                                        2,
                                        r.k};
        p[i++] = jump(equal, call, 0, 6);
        p[i++] = statement(load, argument_offset(r.arg, false));
        p[i++] = jump(equal, values[static_cast<int>(r.value)], 0, 3);
        p[i++] = statement(load, argument_offset(r.arg, true));
        p[i++] = jump(equal, 0, 0, 1);
        p[i++] = statement(give, SECCOMP_RET_ALLOW);
        p[i++] = statement(load, call_number);
    } else if (r.check == test::within) {
        p[i++] = jump(equal, call, 0, 5);
        p[i++] = statement(load, argument_offset(r.arg, false));
        p[i++] = statement(BPF_ALU | BPF_AND | BPF_K, ~r.k);
        p[i++] = jump(equal, 0, 0, 1);
        p[i++] = statement(give, SECCOMP_RET_ALLOW);
        p[i++] = statement(load, call_number);
    } else {
        p[i++] = jump(equal, call, 0, 1);
        p[i++] = statement(give, SECCOMP_RET_ALLOW);
    }
}

// The filter: a foreign architecture or ABI kills the process; an allowed call
// goes through; every other call fails with EPERM.
constexpr program make_program(int probe_socket, int listener, int ipv4_listener)
{
    program p{};
    std::size_t i = 0;
    p[i++] = statement(load, offsetof(seccomp_data, arch));
    p[i++] = jump(equal, SANDBOX_ARCH, 1, 0);
    p[i++] = statement(give, SECCOMP_RET_KILL_PROCESS);
    p[i++] = statement(load, call_number);
#ifdef __x86_64__
    p[i++] = jump(at_least, __X32_SYSCALL_BIT, 0, 1);
    p[i++] = statement(give, SECCOMP_RET_KILL_PROCESS);
#endif
    for (std::size_t start = 0; start < rule_count; start = run_end(start)) {
        const std::size_t end = run_end(start);
        if (end < rule_count) {  // a call past this run skips it
            const auto past = static_cast<std::uint32_t>(by_call[end].call);
            p[i++] = jump(at_least, past, static_cast<std::uint8_t>(run_length(start)), 0);
        }
        for (std::size_t r = start; r < end; ++r) {
            emit_rule(p, i, by_call[r], probe_socket, listener, ipv4_listener);
        }
        p[i++] = statement(give, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA));
    }
    return p;
}

// Jumps are 8 bits wide: the program is short enough for any of them.
static_assert(program_length() < 256);
static_assert(make_program(3, 4, 5).size() == program_length());

}  // namespace

std::vector<sock_filter> confinement_program(int probe_socket, int listener, int ipv4_listener)
{
    const auto program = make_program(probe_socket, listener, ipv4_listener);
    return {program.begin(), program.end()};
}

void confine(int probe_socket, int listener, int ipv4_listener)
{
    // Without an IPv4 listener its rule names the ICMPv6 one again.
    auto program =
        make_program(probe_socket, listener, ipv4_listener >= 0 ? ipv4_listener : listener);
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        fail();
    }
}

#elif PMTU6_SANDBOX && defined(__FreeBSD__)

const bool confinement_built = true;

// Capability mode: the open descriptors still work; no new one can be made
// from a name or an address.
void confine(int /*probe_socket*/, int /*listener*/, int /*ipv4_listener*/)
{
    if (cap_enter() != 0) {
        fail();
    }
}

#elif PMTU6_SANDBOX && defined(__OpenBSD__)

const bool confinement_built = true;

void confine(int /*probe_socket*/, int /*listener*/, int /*ipv4_listener*/)
{
    if (pledge("stdio", nullptr) != 0) {
        fail();
    }
}

#else

const bool confinement_built = false;

void confine(int /*probe_socket*/, int /*listener*/, int /*ipv4_listener*/)
{
}

#endif
