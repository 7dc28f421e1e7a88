#include "route.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#ifdef __linux__
#include <unistd.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/if_link.h>
#include <linux/ipv6.h>
#include <linux/neighbour.h>
#endif

std::optional<std::int32_t> choose_mtu(const route_answer& route, const link_answer& link)
{
    const std::optional<std::int32_t> configured = route.mtu ? route.mtu : link.ipv6_mtu;
    if (!configured) {
        return std::nullopt;
    }
    return link.device_mtu ? std::min(*configured, *link.device_mtu) : *configured;
}

std::optional<std::int32_t> tunnel_mtu(const route_answer& underlay, const link_answer& link,
                                       int family)
{
    // An IPv4 underlay knows no IPv6 MTU.
    link_answer outer = link;
    if (family != AF_INET6) {
        outer.ipv6_mtu = outer.device_mtu;
    }
    const std::int32_t headers = family == AF_INET6 ? 70 : 50;
    const auto mtu = choose_mtu(underlay, outer);
    if (!mtu || *mtu <= headers) {
        return std::nullopt;
    }
    return *mtu - headers;
}

std::optional<refusal> refused_limit(std::int32_t size, std::optional<std::int32_t> reported,
                                     std::optional<std::int32_t> route_mtu, bool learned)
{
    const bool encapsulated =
        !reported || *reported >= size || (learned && route_mtu && *route_mtu < *reported);
    if (encapsulated && route_mtu) {
        return refusal{*route_mtu, true};
    }
    if (reported) {
        return refusal{*reported, false};
    }
    return std::nullopt;
}

std::optional<std::int32_t> socket_route_mtu([[maybe_unused]] int probe_socket)
{
#ifndef IPV6_MTU
    return std::nullopt;  // the system has no such query; the named MTU stands
#else
    int mtu = 0;
    socklen_t length = sizeof mtu;
    if (getsockopt(probe_socket, IPPROTO_IPV6, IPV6_MTU, &mtu, &length) != 0 || mtu <= 0) {
        return std::nullopt;
    }
    return mtu;
#endif
}

#ifdef __linux__

namespace {

using bytes = std::span<const std::uint8_t>;

template <typename T> T read_as(bytes data)
{
    T value{};
    std::memcpy(&value, data.data(), sizeof value);
    return value;
}

// A u32 attribute that fits a positive MTU.
std::optional<std::int32_t> positive_u32(std::optional<bytes> payload)
{
    if (!payload || payload->size() < sizeof(std::uint32_t)) {
        return std::nullopt;
    }
    const auto value = read_as<std::uint32_t>(*payload);
    if (value == 0 || value > 0x7fffffffU) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

// Stops at the first attribute whose length does not fit.
std::optional<bytes> find_attribute(bytes attributes, std::uint16_t type)
{
    while (attributes.size() >= RTA_LENGTH(0)) {
        const auto header = read_as<rtattr>(attributes);
        if (header.rta_len < RTA_LENGTH(0) || header.rta_len > attributes.size()) {
            break;
        }
        if ((header.rta_type & NLA_TYPE_MASK) == type) {
            return attributes.subspan(RTA_LENGTH(0), header.rta_len - RTA_LENGTH(0));
        }
        attributes =
            attributes.subspan(std::min<std::size_t>(RTA_ALIGN(header.rta_len), attributes.size()));
    }
    return std::nullopt;
}

namespace {

// The attributes of a reply of `type` whose fixed header is `fixed` bytes.
std::optional<bytes> reply_attributes(bytes reply, std::uint16_t type, std::size_t fixed)
{
    if (reply.size() < NLMSG_HDRLEN) {
        return std::nullopt;
    }
    const auto header = read_as<nlmsghdr>(reply);
    const std::size_t start = NLMSG_HDRLEN + NLMSG_ALIGN(fixed);
    if (header.nlmsg_type != type || header.nlmsg_len > reply.size() || header.nlmsg_len < start) {
        return std::nullopt;
    }
    return reply.subspan(start, header.nlmsg_len - start);
}

void add_attribute(std::vector<std::uint8_t>& request, std::uint16_t type, const void* data,
                   std::size_t length)
{
    const std::size_t used = request.size();
    request.resize(used + RTA_SPACE(length));
    const rtattr header{static_cast<unsigned short>(RTA_LENGTH(length)), type};
    std::memcpy(request.data() + used, &header, sizeof header);
    std::memcpy(request.data() + used + RTA_LENGTH(0), data, length);
}

}  // namespace

std::vector<std::uint8_t> route_request(const probe_flow& flow, bool fib_match)
{
    std::vector<std::uint8_t> request(NLMSG_LENGTH(sizeof(rtmsg)), 0);
    rtmsg route{};
    route.rtm_family = AF_INET6;
    route.rtm_dst_len = 128;
    route.rtm_src_len = flow.bound_interface ? 0 : 128;
    route.rtm_flags = fib_match ? RTM_F_FIB_MATCH : 0;
    std::memcpy(request.data() + NLMSG_HDRLEN, &route, sizeof route);
    add_attribute(request, RTA_DST, &flow.peer.sin6_addr, 16);
    // The kernel keeps to the asked interface only when no source is given,
    // as it does for a socket bound to a device (a VRF's, say). A zone keeps
    // a link-local peer to its interface either way.
    if (flow.bound_interface) {
        add_attribute(request, RTA_OIF, &*flow.bound_interface, sizeof(std::uint32_t));
    } else {
        add_attribute(request, RTA_SRC, &flow.local.sin6_addr, 16);
        if (flow.peer.sin6_scope_id != 0) {
            const std::uint32_t oif = flow.peer.sin6_scope_id;
            add_attribute(request, RTA_OIF, &oif, sizeof oif);
        }
    }
    if (flow.mark) {
        add_attribute(request, RTA_MARK, &*flow.mark, sizeof(std::uint32_t));
    }
    // Policy rules may choose a table by protocol and ports.
    const std::uint8_t protocol = IPPROTO_UDP;
    add_attribute(request, RTA_IP_PROTO, &protocol, sizeof protocol);
    add_attribute(request, RTA_SPORT, &flow.local.sin6_port, sizeof flow.local.sin6_port);
    add_attribute(request, RTA_DPORT, &flow.peer.sin6_port, sizeof flow.peer.sin6_port);
    const nlmsghdr header{static_cast<std::uint32_t>(request.size()), RTM_GETROUTE, NLM_F_REQUEST,
                          fib_match ? 1U : 2U, 0};
    std::memcpy(request.data(), &header, sizeof header);
    return request;
}

std::vector<std::uint8_t> underlay_request(const tunnel_remote& remote)
{
    std::vector<std::uint8_t> request(NLMSG_LENGTH(sizeof(rtmsg)), 0);
    const std::size_t length = remote.family == AF_INET6 ? 16 : 4;
    rtmsg route{};
    route.rtm_family = static_cast<unsigned char>(remote.family);
    route.rtm_dst_len = static_cast<unsigned char>(length * 8);
    std::memcpy(request.data() + NLMSG_HDRLEN, &route, sizeof route);
    add_attribute(request, RTA_DST, remote.address.data(), length);
    const nlmsghdr header{static_cast<std::uint32_t>(request.size()), RTM_GETROUTE, NLM_F_REQUEST,
                          4, 0};
    std::memcpy(request.data(), &header, sizeof header);
    return request;
}

std::optional<route_answer> route_from_reply(bytes reply)
{
    const auto attributes = reply_attributes(reply, RTM_NEWROUTE, sizeof(rtmsg));
    if (!attributes) {
        return std::nullopt;
    }
    route_answer answer;
    if (const auto metrics = find_attribute(*attributes, RTA_METRICS)) {
        answer.mtu = positive_u32(find_attribute(*metrics, RTAX_MTU));
    }
    if (const auto oif = find_attribute(*attributes, RTA_OIF); oif && oif->size() >= 4) {
        answer.interface = read_as<std::uint32_t>(*oif);
    }
    answer.encapsulates = find_attribute(*attributes, RTA_ENCAP_TYPE).has_value();
    if (const auto gateway = find_attribute(*attributes, RTA_GATEWAY);
        gateway && gateway->size() == 16) {
        answer.gateway.emplace();
        std::copy(gateway->begin(), gateway->end(), answer.gateway->begin());
    }
    return answer;
}

namespace {

// Kinds of device that put this host's own headers around what they carry.
constexpr std::string_view tunnel_kinds[] = {
    "vxlan",     "geneve", "bareudp",   "gre",  "gretap",   "ip6gre",
    "ip6gretap", "erspan", "ip6erspan", "ipip", "sit",      "ip6tnl",
    "l2tpeth",   "vti",    "vti6",      "xfrm", "wireguard"};

std::string_view kind_of(std::optional<bytes> info)
{
    const auto kind = info ? find_attribute(*info, IFLA_INFO_KIND) : std::nullopt;
    if (!kind) {
        return {};
    }
    return {reinterpret_cast<const char*>(kind->data()),
            static_cast<std::size_t>(std::find(kind->begin(), kind->end(), 0) - kind->begin())};
}

bool all_zero(std::span<const std::uint8_t> address)
{
    return std::all_of(address.begin(), address.end(), [](auto b) { return b == 0; });
}

// A unicast remote from an attribute of 16 (IPv6) or 4 (IPv4) bytes.
std::optional<tunnel_remote> unicast_remote(std::optional<bytes> address)
{
    tunnel_remote remote;
    if (!address || (address->size() != 16 && address->size() != 4)) {
        return std::nullopt;
    }
    remote.family = address->size() == 16 ? AF_INET6 : AF_INET;
    std::copy(address->begin(), address->end(), remote.address.begin());
    const bool group =
        remote.family == AF_INET6 ? remote.address[0] == 0xff : remote.address[0] >= 224;
    if (group || all_zero(remote.address)) {
        return std::nullopt;
    }
    return remote;
}

// The fixed unicast remote of a VXLAN or GENEVE device's link information.
std::optional<tunnel_remote> tunnel_of(std::optional<bytes> info)
{
    const auto data = info ? find_attribute(*info, IFLA_INFO_DATA) : std::nullopt;
    if (!data) {
        return std::nullopt;
    }
    const std::string_view name = kind_of(info);
    std::uint16_t six = 0;
    std::uint16_t four = 0;
    if (name == "vxlan") {
        six = IFLA_VXLAN_GROUP6;
        four = IFLA_VXLAN_GROUP;
    } else if (name == "geneve") {
        six = IFLA_GENEVE_REMOTE6;
        four = IFLA_GENEVE_REMOTE;
    } else {
        return std::nullopt;
    }
    // A multicast group has no one remote.
    const auto six_address = find_attribute(*data, six);
    if (six_address && six_address->size() == 16) {
        return unicast_remote(six_address);
    }
    const auto four_address = find_attribute(*data, four);
    return four_address && four_address->size() == 4 ? unicast_remote(four_address) : std::nullopt;
}

}  // namespace

std::optional<link_answer> link_from_reply(bytes reply)
{
    const auto attributes = reply_attributes(reply, RTM_NEWLINK, sizeof(ifinfomsg));
    if (!attributes) {
        return std::nullopt;
    }
    link_answer answer;
    answer.device_mtu = positive_u32(find_attribute(*attributes, IFLA_MTU));
    const auto families = find_attribute(*attributes, IFLA_AF_SPEC);
    const auto inet6 = families ? find_attribute(*families, AF_INET6) : std::nullopt;
    const auto conf = inet6 ? find_attribute(*inet6, IFLA_INET6_CONF) : std::nullopt;
    // An array of 32-bit settings indexed by DEVCONF_*.
    constexpr std::size_t offset = DEVCONF_MTU6 * sizeof(std::int32_t);
    if (conf && conf->size() >= offset + sizeof(std::int32_t)) {
        answer.ipv6_mtu = positive_u32(conf->subspan(offset));
    }
    const auto info = find_attribute(*attributes, IFLA_LINKINFO);
    answer.tunnel = tunnel_of(info);
    const std::string_view kind = kind_of(info);
    answer.own_tunnel =
        std::find(std::begin(tunnel_kinds), std::end(tunnel_kinds), kind) != std::end(tunnel_kinds);
    answer.forwarding_table = kind == "vxlan" && !answer.tunnel;
    return answer;
}

std::optional<neighbour_answer> neighbour_from_reply(bytes reply)
{
    const auto attributes = reply_attributes(reply, RTM_NEWNEIGH, sizeof(ndmsg));
    if (!attributes) {
        return std::nullopt;
    }
    neighbour_answer answer;
    if (const auto link = find_attribute(*attributes, NDA_LLADDR); link && link->size() == 6) {
        answer.link_address.emplace();
        std::copy(link->begin(), link->end(), answer.link_address->begin());
    }
    answer.remote = unicast_remote(find_attribute(*attributes, NDA_DST));
    return answer;
}

namespace {

std::vector<std::uint8_t> neighbour_query(std::uint8_t family, std::uint8_t flags,
                                          std::uint32_t interface, std::uint16_t type,
                                          const void* data, std::size_t length)
{
    std::vector<std::uint8_t> request(NLMSG_LENGTH(sizeof(ndmsg)), 0);
    ndmsg neighbour{};
    neighbour.ndm_family = family;
    neighbour.ndm_flags = flags;
    neighbour.ndm_ifindex = static_cast<int>(interface);
    std::memcpy(request.data() + NLMSG_HDRLEN, &neighbour, sizeof neighbour);
    add_attribute(request, type, data, length);
    const nlmsghdr header{static_cast<std::uint32_t>(request.size()), RTM_GETNEIGH, NLM_F_REQUEST,
                          5, 0};
    std::memcpy(request.data(), &header, sizeof header);
    return request;
}

}  // namespace

std::vector<std::uint8_t> neighbour_request(std::uint32_t interface,
                                            const std::array<std::uint8_t, 16>& address)
{
    return neighbour_query(AF_INET6, 0, interface, NDA_DST, address.data(), address.size());
}

std::vector<std::uint8_t> forwarding_request(std::uint32_t interface,
                                             const std::array<std::uint8_t, 6>& link_address)
{
    // The device's own table, not that of a bridge it may be a port of.
    return neighbour_query(AF_BRIDGE, NTF_SELF, interface, NDA_LLADDR, link_address.data(),
                           link_address.size());
}

namespace {

constexpr std::size_t reply_buffer_bytes = 16384;

// One request, one reply from the kernel. Returns the reply's length in
// `buffer`, or nothing. The kernel answers before send returns, so the
// receive never waits.
std::optional<std::size_t> ask_kernel(int fd, const void* request, std::size_t length,
                                      std::array<std::uint8_t, reply_buffer_bytes>& buffer)
{
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, request, length, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(length)) {
        return std::nullopt;
    }
    sockaddr_nl from{};
    socklen_t from_length = sizeof from;
    const ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &from_length);
    if (got <= 0 || static_cast<std::size_t>(got) > buffer.size() || from.nl_pid != 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(got);
}

// The route that `request` asks for, or nothing.
std::optional<route_answer> ask_route(int fd, const std::vector<std::uint8_t>& request)
{
    std::array<std::uint8_t, reply_buffer_bytes> reply{};
    const auto length = ask_kernel(fd, request.data(), request.size(), reply);
    return length ? route_from_reply(bytes(reply).first(*length)) : std::nullopt;
}

std::optional<link_answer> ask_link(int fd, std::uint32_t interface)
{
    struct {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header = {sizeof request, RTM_GETLINK, NLM_F_REQUEST, 3, 0};
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = static_cast<int>(interface);

    std::array<std::uint8_t, reply_buffer_bytes> reply{};
    const auto length = ask_kernel(fd, &request, sizeof request, reply);
    return length ? link_from_reply(bytes(reply).first(*length)) : std::nullopt;
}

std::optional<neighbour_answer> ask_neighbour(int fd, const std::vector<std::uint8_t>& request)
{
    std::array<std::uint8_t, reply_buffer_bytes> reply{};
    const auto length = ask_kernel(fd, request.data(), request.size(), reply);
    return length ? neighbour_from_reply(bytes(reply).first(*length)) : std::nullopt;
}

// The remote a VXLAN without a fixed one sends to `next_hop` through: the
// forwarding entry for the neighbour's link-layer address, else the entry
// for every address it has none for.
std::optional<tunnel_remote> forwarding_remote(int fd, std::uint32_t interface,
                                               const std::array<std::uint8_t, 16>& next_hop)
{
    const auto neighbour = ask_neighbour(fd, neighbour_request(interface, next_hop));
    if (neighbour && neighbour->link_address) {
        const auto entry =
            ask_neighbour(fd, forwarding_request(interface, *neighbour->link_address));
        if (entry && entry->remote) {
            return entry->remote;
        }
    }
    const auto fallback = ask_neighbour(fd, forwarding_request(interface, {}));
    return fallback ? fallback->remote : std::nullopt;
}

// A socket option that reads as an unsigned number; nothing where it is 0.
std::optional<std::uint32_t> nonzero_option(int fd, int option)
{
    std::uint32_t value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, option, &value, &length) != 0 || value == 0) {
        return std::nullopt;
    }
    return value;
}

// What a tunnel device carries whole towards its remote.
std::optional<std::int32_t> own_tunnel_mtu(int fd, const tunnel_remote& remote)
{
    const auto underlay = ask_route(fd, underlay_request(remote));
    if (!underlay || !underlay->interface) {
        return std::nullopt;
    }
    const auto link = ask_link(fd, *underlay->interface);
    return link ? tunnel_mtu(*underlay, *link, remote.family) : std::nullopt;
}

std::optional<probe_flow> flow_of(int probe_socket)
{
    probe_flow flow;
    socklen_t length = sizeof flow.local;
    if (getsockname(probe_socket, reinterpret_cast<sockaddr*>(&flow.local), &length) != 0) {
        return std::nullopt;
    }
    length = sizeof flow.peer;
    if (getpeername(probe_socket, reinterpret_cast<sockaddr*>(&flow.peer), &length) != 0) {
        return std::nullopt;
    }
#ifdef SO_BINDTOIFINDEX
    flow.bound_interface = nonzero_option(probe_socket, SO_BINDTOIFINDEX);
#endif
    flow.mark = nonzero_option(probe_socket, SO_MARK);
    return flow;
}

// The MTU this host is configured to use for the probes' flow, and whether
// they leave through its own tunnel or encapsulation.
struct configured {
    std::optional<std::int32_t> mtu;
    bool own_tunnel = false;
};

configured configured_mtu(int probe_socket)
{
    const auto flow = flow_of(probe_socket);
    if (!flow) {
        return {};
    }
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return {};
    }
    configured result;
    if (const auto route = ask_route(fd, route_request(*flow, true))) {
        // The configured route may have several next hops; the route in use
        // names the one interface.
        const auto used = ask_route(fd, route_request(*flow, false));
        link_answer link;
        if (used && used->interface) {
            link = ask_link(fd, *used->interface).value_or(link_answer{});
            if (link.forwarding_table) {
                std::array<std::uint8_t, 16> peer{};
                std::memcpy(peer.data(), &flow->peer.sin6_addr, peer.size());
                link.tunnel = forwarding_remote(fd, *used->interface, used->gateway.value_or(peer));
            }
        }
        result.mtu = choose_mtu(*route, link);
        if (link.tunnel) {
            if (const auto tunnel = own_tunnel_mtu(fd, *link.tunnel)) {
                result.mtu = result.mtu ? std::min(*result.mtu, *tunnel) : *tunnel;
            }
        }
        result.own_tunnel = link.own_tunnel || route->encapsulates || (used && used->encapsulates);
    }
    (void)close(fd);
    return result;
}

}  // namespace

bool honour_configured_mtu(int probe_socket)
{
    const configured found = configured_mtu(probe_socket);
    // IPV6_MTU only ever lowers what a send is checked against.
    if (found.mtu) {
        const int value = *found.mtu;
        (void)setsockopt(probe_socket, IPPROTO_IPV6, IPV6_MTU, &value, sizeof value);
    }
    return found.own_tunnel;
}

#else

// The BSDs check a send with IPV6_DONTFRAG against the route's MTU, which
// holds a configured or advertised MTU already.
bool honour_configured_mtu(int /*probe_socket*/)
{
    return false;
}

#endif
