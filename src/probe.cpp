#include "probe.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

std::uint16_t probe_port(pid_t pid)
{
    return htons(static_cast<std::uint16_t>(static_cast<unsigned>(pid) | 0x8000U));
}

std::int32_t payload_length(std::int32_t size)
{
    return size - probe_header_bytes;
}

namespace {

// Each probe must leave whole at exactly its size: the system must neither
// fragment it at the source nor shrink it to a path MTU cached from earlier
// traffic, or a second run would see fragments slip through.
void forbid_fragmentation(int fd)
{
#if defined(IPV6_MTU_DISCOVER) && defined(IPV6_PMTUDISC_PROBE)
    int mode = IPV6_PMTUDISC_PROBE;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER, &mode, sizeof mode) < 0) {
        perror("setsockopt IPV6_MTU_DISCOVER");
        exit(1);
    }
#elif defined(IPV6_DONTFRAG)
    int on = 1;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_DONTFRAG, &on, sizeof on) < 0) {
        perror("setsockopt IPV6_DONTFRAG");
        exit(1);
    }
#else
    (void)fd;
#endif
}

}  // namespace

int open_probe_socket(const char* host)
{
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        exit(1);
    }

    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* answer = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &answer) != 0 || answer == nullptr ||
        answer->ai_family != AF_INET6) {
        fprintf(stderr, "Unknown host %s\n", host);
        exit(1);
    }
    sockaddr_in6 found{};
    std::memcpy(&found, answer->ai_addr, std::min<std::size_t>(sizeof found, answer->ai_addrlen));
    freeaddrinfo(answer);

    sockaddr_in6 destination{};
    destination.sin6_family = AF_INET6;
    destination.sin6_port = probe_port(getpid());
    destination.sin6_addr = found.sin6_addr;
    // Keeps a link-local literal's zone, so fe80::1%eth0 leaves by eth0.
    destination.sin6_scope_id = found.sin6_scope_id;

    forbid_fragmentation(fd);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) < 0) {
        perror("connect");
        exit(1);
    }
    return fd;
}

reply_filter* make_reply_filter(int probe_socket)
{
    auto* filter = new (std::nothrow) reply_filter{};
    if (filter == nullptr) {
        errno = ENOMEM;
        perror("allocating filter");
        exit(-1);
    }
    // Left all zero where a call fails; such a filter matches no real quote.
    sockaddr_in6 local{};
    sockaddr_in6 remote{};
    socklen_t length = sizeof local;
    (void)getsockname(probe_socket, reinterpret_cast<sockaddr*>(&local), &length);
    length = sizeof remote;
    (void)getpeername(probe_socket, reinterpret_cast<sockaddr*>(&remote), &length);

    std::memcpy(filter->local_address.data(), &local.sin6_addr, 16);
    std::memcpy(filter->remote_address.data(), &remote.sin6_addr, 16);
    filter->local_port = local.sin6_port;
    filter->remote_port = remote.sin6_port;
    return filter;
}

send_result send_probe(int probe_socket, std::int32_t size)
{
    const std::int32_t length = payload_length(size);
    if (length < 0) {
        return send_result::failed;
    }
    if (static_cast<std::size_t>(length) > max_probe_payload) {
        return send_result::refused_size;
    }
    std::array<std::uint8_t, max_probe_payload> payload{};

    // An ICMPv6 error about an earlier probe stays pending on the connected
    // socket and would make this send fail without sending; reading it clears it.
    int pending = 0;
    socklen_t pending_length = sizeof pending;
    (void)getsockopt(probe_socket, SOL_SOCKET, SO_ERROR, &pending, &pending_length);

    // One that arrives between the two calls fails the send in its place, once;
    // only a second failure is the system's answer to this probe.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (send(probe_socket, payload.data(), static_cast<std::size_t>(length), 0) >= 0) {
            return send_result::sent;
        }
    }
    return errno == EMSGSIZE ? send_result::refused_size : send_result::failed;
}

std::optional<std::int32_t> local_path_mtu(int probe_socket)
{
#ifdef IPV6_PATHMTU
    ip6_mtuinfo info{};
    socklen_t length = sizeof info;
    if (getsockopt(probe_socket, IPPROTO_IPV6, IPV6_PATHMTU, &info, &length) == 0 &&
        info.ip6m_mtu > 0 && info.ip6m_mtu <= 0x7fffffffU) {
        return static_cast<std::int32_t>(info.ip6m_mtu);
    }
#else
    (void)probe_socket;
#endif
    return std::nullopt;
}
