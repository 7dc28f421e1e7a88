#include "probe.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <netdb.h>
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

std::optional<sockaddr_in6> pick_address(const addrinfo* answer)
{
    for (const addrinfo* entry = answer; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET6 || entry->ai_addr == nullptr) {
            continue;
        }
        sockaddr_in6 found{};
        std::memcpy(&found, entry->ai_addr, std::min<std::size_t>(sizeof found, entry->ai_addrlen));
        if (!IN6_IS_ADDR_V4MAPPED(&found.sin6_addr)) {
            return found;
        }
    }
    return std::nullopt;
}

std::optional<std::int32_t> path_mtu_from_control(const msghdr& message)
{
    msghdr walked = message;
    for (cmsghdr* item = CMSG_FIRSTHDR(&walked); item != nullptr;
         item = CMSG_NXTHDR(&walked, item)) {
        if (item->cmsg_level != IPPROTO_IPV6 || item->cmsg_type != IPV6_PATHMTU ||
            item->cmsg_len < CMSG_LEN(sizeof(ip6_mtuinfo))) {
            continue;
        }
        ip6_mtuinfo info{};
        std::memcpy(&info, CMSG_DATA(item), sizeof info);
        if (info.ip6m_mtu > 0 && info.ip6m_mtu <= 0x7fffffffU) {
            return static_cast<std::int32_t>(info.ip6m_mtu);
        }
    }
    return std::nullopt;
}

namespace {

void set_ipv6_option(int fd, int option, int value, const char* subject)
{
    if (setsockopt(fd, IPPROTO_IPV6, option, &value, sizeof value) < 0) {
        perror(subject);
        exit(1);
    }
}

// Each probe must leave whole at exactly its size, or be refused at once when
// the host's own link is narrower; the refusal then tells that link's MTU.
void set_probe_options(int fd)
{
#if defined(IPV6_MTU_DISCOVER) && defined(IPV6_PMTUDISC_PROBE)
    // Linux otherwise checks a send against the path MTU it cached from
    // earlier traffic, and a rerun would measure that cache, not the path.
    set_ipv6_option(fd, IPV6_MTU_DISCOVER, IPV6_PMTUDISC_PROBE, "setsockopt IPV6_MTU_DISCOVER");
#endif
    set_ipv6_option(fd, IPV6_DONTFRAG, 1, "setsockopt IPV6_DONTFRAG");
    set_ipv6_option(fd, IPV6_RECVPATHMTU, 1, "setsockopt IPV6_RECVPATHMTU");
}

// Linux checks against the learned path MTU only outside probe mode; the
// BSDs always check against the route's MTU, which holds it.
void check_sends_against([[maybe_unused]] int fd, [[maybe_unused]] send_check check)
{
#if defined(IPV6_MTU_DISCOVER) && defined(IPV6_PMTUDISC_PROBE)
    const int mode = check == send_check::learned_mtu ? IPV6_PMTUDISC_DO : IPV6_PMTUDISC_PROBE;
    (void)setsockopt(fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER, &mode, sizeof mode);
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
    std::optional<sockaddr_in6> found;
    if (getaddrinfo(host, nullptr, &hints, &answer) == 0) {
        found = pick_address(answer);
        freeaddrinfo(answer);
    }
    if (!found) {
        fprintf(stderr, "Unknown host %s\n", host);
        exit(1);
    }

    sockaddr_in6 destination{};
#ifdef SIN6_LEN
    destination.sin6_len = sizeof destination;
#endif
    destination.sin6_family = AF_INET6;
    destination.sin6_port = probe_port(getpid());
    destination.sin6_addr = found->sin6_addr;
    // Keeps a link-local literal's zone, so fe80::1%eth0 leaves by eth0.
    destination.sin6_scope_id = found->sin6_scope_id;

    set_probe_options(fd);
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

send_result send_probe(int probe_socket, std::int32_t size, send_check check)
{
    const std::int32_t length = payload_length(size);
    if (length < 0) {
        return send_result::failed;
    }
    // A Packet Too Big may report more than an IPv6 packet without a jumbogram
    // holds. The largest probe stands in: no link takes it, and its refusal
    // names the link's MTU.
    const std::size_t bytes = std::min(static_cast<std::size_t>(length), max_probe_payload);
    std::array<std::uint8_t, max_probe_payload> payload{};

    // An ICMPv6 error about an earlier probe stays pending on the connected
    // socket and would make this send fail without sending; reading it clears it.
    int pending = 0;
    socklen_t pending_length = sizeof pending;
    (void)getsockopt(probe_socket, SOL_SOCKET, SO_ERROR, &pending, &pending_length);

    // Only this one probe meets the learned MTU.
    const bool learned = check == send_check::learned_mtu;
    if (learned) {
        check_sends_against(probe_socket, send_check::learned_mtu);
    }
    // One that arrives between the two calls fails the send in its place, once;
    // only a second failure is the system's answer to this probe.
    send_result result = send_result::failed;
    for (int attempt = 0; attempt < 2 && result == send_result::failed; ++attempt) {
        if (send(probe_socket, payload.data(), bytes, 0) >= 0) {
            result = send_result::sent;
        } else if (attempt == 1 && errno == EMSGSIZE) {
            result = send_result::refused_size;
        }
    }
    if (learned) {
        check_sends_against(probe_socket, send_check::device_mtu);
    }
    return result;
}

std::optional<std::int32_t> refused_mtu(int probe_socket)
{
    // The system queues the MTU it refused the send for as an IPV6_PATHMTU
    // item on the probe socket. The BSDs also queue one for each Packet Too
    // Big about the socket, so the refusal's own is the last one queued.
    std::optional<std::int32_t> last;
    for (int item = 0; item < 64; ++item) {
        alignas(cmsghdr) std::array<std::byte, CMSG_SPACE(sizeof(ip6_mtuinfo))> control{};
        msghdr message{};
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        if (recvmsg(probe_socket, &message, MSG_DONTWAIT) < 0) {
            break;
        }
        if (const auto mtu = path_mtu_from_control(message)) {
            last = mtu;
        }
    }
    return last;
}
