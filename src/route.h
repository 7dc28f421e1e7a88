// The MTU this host is configured to use towards the target: a route's MTU,
// else the interface's IPv6 MTU (set by an administrator or a Router
// Advertisement), never above the device's. A path MTU learned from Packet
// Too Big messages never counts.
#pragma once

#include <sys/types.h>
#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// What a route says: its MTU metric, when it has one, and the interface it
// leaves by.
struct route_answer {
    std::optional<std::int32_t> mtu;
    std::optional<std::uint32_t> interface;
};

// What the output interface says.
struct link_answer {
    std::optional<std::int32_t> device_mtu;
    std::optional<std::int32_t> ipv6_mtu;
};

// The probe socket's flow, as the kernel routes its packets: UDP from the
// local to the peer's address and port, through the device the socket is
// bound to, with the socket's mark.
struct probe_flow {
    sockaddr_in6 local{};
    sockaddr_in6 peer{};
    std::optional<std::uint32_t> bound_interface;
    std::optional<std::uint32_t> mark;
};

// The system's own rule; nothing when neither answer names an MTU.
std::optional<std::int32_t> choose_mtu(const route_answer& route, const link_answer& link);

#ifdef __linux__
// The RTM_GETROUTE request for the route of `flow`: as configured when
// `fib_match`, else as the system uses it.
std::vector<std::uint8_t> route_request(const probe_flow& flow, bool fib_match);

// The payload of the first attribute of `type` in a run of attributes.
std::optional<std::span<const std::uint8_t>>
find_attribute(std::span<const std::uint8_t> attributes, std::uint16_t type);

// Readers of one rtnetlink reply, from its netlink header on. Each returns
// nothing for a reply that is not of its kind or does not hold together.
std::optional<route_answer> route_from_reply(std::span<const std::uint8_t> reply);
std::optional<link_answer> link_from_reply(std::span<const std::uint8_t> reply);
#endif

// Caps the probes of the connected probe socket at the configured MTU, so
// that a larger one is refused like one too large for the device. Where the
// query fails, or the system checks sends against its settings by itself,
// nothing changes.
void honour_configured_mtu(int probe_socket);
