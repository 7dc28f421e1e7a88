// The MTU this host is configured to use towards the target: a route's MTU,
// else the interface's IPv6 MTU (set by an administrator or a Router
// Advertisement), never above the device's, nor above what this host's own
// encapsulation (a VXLAN or GENEVE device's underlay, IPsec) lets through.
// A path MTU that routers reported about the probes themselves never counts.
#pragma once

#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// What a route says: its MTU metric, when it has one, the interface it
// leaves by, whether it puts this host's own headers on (segment routing,
// an encapsulation of the route), and its gateway.
struct route_answer {
    std::optional<std::int32_t> mtu = std::nullopt;
    std::optional<std::uint32_t> interface = std::nullopt;
    bool encapsulates = false;
    std::optional<std::array<std::uint8_t, 16>> gateway = std::nullopt;
};

// The fixed remote of a device that carries what it sends in UDP across an
// underlay (VXLAN, GENEVE): AF_INET6, or AF_INET with the first 4 bytes.
struct tunnel_remote {
    int family = AF_INET6;
    std::array<std::uint8_t, 16> address{};
};

// What the output interface says. `own_tunnel`: the device is one of this
// host's tunnels. `forwarding_table`: a VXLAN without a fixed remote, which
// finds its peers in its forwarding table.
struct link_answer {
    std::optional<std::int32_t> device_mtu = std::nullopt;
    std::optional<std::int32_t> ipv6_mtu = std::nullopt;
    std::optional<tunnel_remote> tunnel = std::nullopt;
    bool own_tunnel = false;
    bool forwarding_table = false;
};

// What a neighbour or forwarding entry says: the link-layer address of a
// neighbour, the remote a VXLAN's entry sends to.
struct neighbour_answer {
    std::optional<std::array<std::uint8_t, 6>> link_address = std::nullopt;
    std::optional<tunnel_remote> remote = std::nullopt;
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

// The largest inner packet a VXLAN or GENEVE device carries whole: what the
// underlay's route to its remote allows (a path MTU the underlay's routers
// reported included, for no local sender hears of it), less the outer IP,
// UDP, tunnel and inner Ethernet headers.
std::optional<std::int32_t> tunnel_mtu(const route_answer& underlay, const link_answer& link,
                                       int family);

// The limit of a probe this host refused for its size, and whether it is
// its own encapsulation's (IPsec), which it tells no router about.
struct refusal {
    std::int32_t mtu = 0;
    bool encapsulated = false;
};

// From the MTU the system named for the refused send (`reported`) and that
// of the route the socket holds (`route_mtu`). Where the system names
// nothing below the size, the refusal came after this host's own
// encapsulation, whose limit is the socket's route's. Checked against the
// learned path MTU, the socket's route is lower than the path only by that
// encapsulation. Otherwise the named MTU is the limit.
std::optional<refusal> refused_limit(std::int32_t size, std::optional<std::int32_t> reported,
                                     std::optional<std::int32_t> route_mtu, bool learned);

// The MTU of the route the connected probe socket holds, as of its last
// send; for IPsec, ESP already taken off.
std::optional<std::int32_t> socket_route_mtu(int probe_socket);

#ifdef __linux__
// The RTM_GETROUTE request for the route of `flow`: as configured when
// `fib_match`, else as the system uses it.
std::vector<std::uint8_t> route_request(const probe_flow& flow, bool fib_match);

// The RTM_GETROUTE request for the underlay's route to a tunnel's remote,
// as the system uses it.
std::vector<std::uint8_t> underlay_request(const tunnel_remote& remote);

// The payload of the first attribute of `type` in a run of attributes.
std::optional<std::span<const std::uint8_t>>
find_attribute(std::span<const std::uint8_t> attributes, std::uint16_t type);

// The RTM_GETNEIGH requests for the neighbour `address` on `interface`,
// and for the entry of a VXLAN's forwarding table for `link_address` (all
// zeros: the entry for every address it has none for).
std::vector<std::uint8_t> neighbour_request(std::uint32_t interface,
                                            const std::array<std::uint8_t, 16>& address);
std::vector<std::uint8_t> forwarding_request(std::uint32_t interface,
                                             const std::array<std::uint8_t, 6>& link_address);

// Readers of one rtnetlink reply, from its netlink header on. Each returns
// nothing for a reply that is not of its kind or does not hold together.
std::optional<route_answer> route_from_reply(std::span<const std::uint8_t> reply);
std::optional<link_answer> link_from_reply(std::span<const std::uint8_t> reply);
std::optional<neighbour_answer> neighbour_from_reply(std::span<const std::uint8_t> reply);
#endif

// Caps the probes of the connected probe socket at the configured MTU and
// at its tunnel device's, so that a larger one is refused like one too large
// for the device. Where a query fails, or the system checks sends against
// its settings by itself, nothing changes. True when the probes leave
// through this host's own tunnel or a route that encapsulates them: what
// the routers beyond say about them may reach the system alone.
bool honour_configured_mtu(int probe_socket);
