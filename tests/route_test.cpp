#include "route.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#ifdef __linux__
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/if_link.h>
#include <linux/ipv6.h>
#include <linux/neighbour.h>
#endif

namespace {

constexpr auto none = std::nullopt;

TEST(ChooseMtu, RouteElseInterfaceNeverAboveDevice)
{
    const struct {
        const char* name;
        std::optional<std::int32_t> route, ipv6, device, chosen;
    } cases[] = {
        {"route mtu", 1400, 1500, 1500, 1400},
        {"route mtu over a narrower interface setting", 1450, 1300, 1500, 1450},
        {"interface setting", none, 1400, 1500, 1400},
        {"nothing set below the device", none, 1500, 1500, 1500},
        {"route above the device", 9000, 1500, 1500, 1500},
        {"interface above the device", none, 9000, 1500, 1500},
        {"device unknown", 1400, none, none, 1400},
        {"nothing known", none, none, 1500, none},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(choose_mtu({c.route, 7}, {c.device, c.ipv6, none}), c.chosen) << c.name;
    }
}

// The inner packet a tunnel carries: the underlay's route, learned MTU
// included, else its interface, less 70 bytes over IPv6 and 50 over IPv4.
TEST(TunnelMtu, UnderlayLessEncapsulation)
{
    const struct {
        const char* name;
        std::optional<std::int32_t> route, ipv6, device;
        int family;
        std::optional<std::int32_t> inner;
    } cases[] = {
        {"learned on the underlay", 1400, 9000, 9000, AF_INET6, 1330},
        {"over IPv4", 1400, none, 9000, AF_INET, 1350},
        {"the underlay's interface", none, 1500, 9000, AF_INET6, 1430},
        {"IPv4 knows no IPv6 mtu", none, 1280, 1500, AF_INET, 1450},
        {"nothing known", none, none, none, AF_INET6, none},
        {"no room for the headers", 70, none, none, AF_INET6, none},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tunnel_mtu({c.route, 2}, {c.device, c.ipv6, none}, c.family), c.inner) << c.name;
    }
}

// A refused probe's limit: the MTU the system named, unless it names none
// below the size or the socket's route is lower when checked against the
// learned path MTU; both of those are this host's own encapsulation.
TEST(RefusedLimit, NamedElseTheSocketsRoute)
{
    const struct {
        const char* name;
        std::optional<std::int32_t> reported, route;
        bool learned;
        std::optional<std::int32_t> mtu;
        bool encapsulated;
    } cases[] = {
        {"a narrow link", 1400, 1300, false, 1400, false},
        {"the learned mtu", 1330, 1330, true, 1330, false},
        {"ESP beyond the learned path", 1400, 1366, true, 1366, true},
        {"refused after ESP, nothing named", none, 1466, false, 1466, true},
        {"refused after ESP, the device named", 1500, 1466, false, 1466, true},
        {"nothing known", none, none, false, none, false},
        {"only the named mtu", 1400, none, true, 1400, false},
    };
    for (const auto& c : cases) {
        const auto limit = refused_limit(1500, c.reported, c.route, c.learned);
        ASSERT_EQ(limit.has_value(), c.mtu.has_value()) << c.name;
        if (limit) {
            EXPECT_EQ(limit->mtu, *c.mtu) << c.name;
            EXPECT_EQ(limit->encapsulated, c.encapsulated) << c.name;
        }
    }
}

#ifdef __linux__

// A netlink attribute as the kernel writes it; a nested one carries others.
std::vector<std::uint8_t> attribute(std::uint16_t type, const std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> out(RTA_SPACE(payload.size()), 0);
    const rtattr header{static_cast<unsigned short>(RTA_LENGTH(payload.size())), type};
    std::memcpy(out.data(), &header, sizeof header);
    std::memcpy(out.data() + RTA_LENGTH(0), payload.data(), payload.size());
    return out;
}

std::vector<std::uint8_t> u32(std::uint32_t value)
{
    std::vector<std::uint8_t> out(4);
    std::memcpy(out.data(), &value, 4);
    return out;
}

std::vector<std::uint8_t> join(const std::vector<std::vector<std::uint8_t>>& parts)
{
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::vector<std::uint8_t> reply(std::uint16_t type, std::size_t fixed,
                                const std::vector<std::uint8_t>& attributes)
{
    std::vector<std::uint8_t> out(NLMSG_LENGTH(fixed), 0);
    out.insert(out.end(), attributes.begin(), attributes.end());
    const nlmsghdr header{static_cast<std::uint32_t>(out.size()), type, 0, 1, 0};
    std::memcpy(out.data(), &header, sizeof header);
    return out;
}

TEST(RouteFromReply, MtuMetricAndInterface)
{
    const auto metrics = attribute(
        RTA_METRICS, join({attribute(RTAX_HOPLIMIT, u32(64)), attribute(RTAX_MTU, u32(1400))}));
    const auto oif = attribute(RTA_OIF, u32(3));
    auto cut = reply(RTM_NEWROUTE, sizeof(rtmsg), join({oif, metrics}));
    cut.resize(cut.size() - 4);
    // An MTU whose length runs past the metrics that hold it, into the next
    // attribute.
    std::vector<std::uint8_t> overlong(4);
    const rtattr mtu_header{8, RTAX_MTU};
    std::memcpy(overlong.data(), &mtu_header, 4);
    const auto overrun =
        reply(RTM_NEWROUTE, sizeof(rtmsg),
              join({attribute(RTA_METRICS, overlong), attribute(RTA_OIF, u32(1400))}));
    // Two next hops and no RTA_OIF: the route in use names the interface.
    const std::vector<std::uint8_t> hop = {8, 0, 0, 0, 3, 0, 0, 0};
    const auto multipath = reply(RTM_NEWROUTE, sizeof(rtmsg),
                                 join({attribute(RTA_MULTIPATH, join({hop, hop})), metrics}));
    const struct {
        const char* name;
        std::vector<std::uint8_t> reply;
        std::optional<std::int32_t> mtu;
        std::optional<std::uint32_t> interface;
        bool read;
    } cases[] = {
        {"both", reply(RTM_NEWROUTE, sizeof(rtmsg), join({oif, metrics})), 1400, 3, true},
        {"no metrics", reply(RTM_NEWROUTE, sizeof(rtmsg), oif), none, 3, true},
        {"mtu 0",
         reply(RTM_NEWROUTE, sizeof(rtmsg), attribute(RTA_METRICS, attribute(RTAX_MTU, u32(0)))),
         none, none, true},
        {"an error, not a route", reply(NLMSG_ERROR, sizeof(nlmsgerr), {}), none, none, false},
        {"cut short", cut, none, none, false},
        {"mtu runs past its metrics", overrun, none, 1400, true},
        {"multipath", multipath, 1400, none, true},
        {"empty", {}, none, none, false},
    };
    for (const auto& c : cases) {
        const auto answer = route_from_reply(c.reply);
        ASSERT_EQ(answer.has_value(), c.read) << c.name;
        if (answer) {
            EXPECT_EQ(answer->mtu, c.mtu) << c.name;
            EXPECT_EQ(answer->interface, c.interface) << c.name;
        }
    }
    // A route that puts this host's own headers on (segment routing), by a
    // gateway.
    std::vector<std::uint8_t> gateway(16, 0);
    gateway[0] = 0xfe;
    gateway[15] = 1;
    const auto srv6 = route_from_reply(
        reply(RTM_NEWROUTE, sizeof(rtmsg),
              join({oif, attribute(RTA_ENCAP_TYPE, {5, 0}), attribute(RTA_GATEWAY, gateway)})));
    ASSERT_TRUE(srv6);
    EXPECT_TRUE(srv6->encapsulates);
    EXPECT_TRUE(srv6->gateway &&
                std::equal(gateway.begin(), gateway.end(), srv6->gateway->begin()));
    const auto plain = route_from_reply(reply(RTM_NEWROUTE, sizeof(rtmsg), oif));
    EXPECT_FALSE(plain->encapsulates || plain->gateway);
}

std::optional<std::vector<std::uint8_t>> payload(const std::vector<std::uint8_t>& request,
                                                 std::uint16_t type)
{
    const auto found =
        find_attribute(std::span(request).subspan(NLMSG_LENGTH(sizeof(rtmsg))), type);
    return found ? std::optional(std::vector<std::uint8_t>(found->begin(), found->end()))
                 : std::nullopt;
}

std::vector<std::uint8_t> bytes_of(const void* data, std::size_t length)
{
    const auto* start = static_cast<const std::uint8_t*>(data);
    return {start, start + length};
}

// The request describes the probes' flow as the kernel routes it: UDP and
// both ports always; a bound device pins the interface, which the kernel
// does only without a source; a zone keeps a link-local peer on its link.
TEST(RouteRequest, AsksAboutTheProbesOwnFlow)
{
    const struct {
        const char* name;
        std::uint32_t zone;
        std::optional<std::uint32_t> bound, mark;
        bool fib_match;
        std::optional<std::uint32_t> oif;
        bool source;
    } cases[] = {
        {"plain", 0, none, none, false, none, true},
        {"configured route", 0, none, none, true, none, true},
        {"link-local peer's zone", 5, none, none, false, 5, true},
        {"bound device", 0, 7, none, false, 7, false},
        {"bound device and a zone", 5, 7, none, true, 7, false},
        {"mark", 0, none, 0x2a, false, none, true},
    };
    for (const auto& c : cases) {
        probe_flow flow;
        flow.local.sin6_addr.s6_addr[0] = 0x20;
        flow.local.sin6_port = htons(40001);
        flow.peer.sin6_addr.s6_addr[15] = 2;
        flow.peer.sin6_port = htons(33000);
        flow.peer.sin6_scope_id = c.zone;
        flow.bound_interface = c.bound;
        flow.mark = c.mark;
        const auto request = route_request(flow, c.fib_match);

        nlmsghdr header{};
        std::memcpy(&header, request.data(), sizeof header);
        EXPECT_EQ(header.nlmsg_len, request.size()) << c.name;
        EXPECT_EQ(header.nlmsg_type, RTM_GETROUTE) << c.name;
        rtmsg route{};
        std::memcpy(&route, request.data() + NLMSG_HDRLEN, sizeof route);
        EXPECT_EQ((route.rtm_flags & RTM_F_FIB_MATCH) != 0, c.fib_match) << c.name;
        EXPECT_EQ(route.rtm_src_len, c.source ? 128 : 0) << c.name;

        EXPECT_EQ(payload(request, RTA_DST), bytes_of(&flow.peer.sin6_addr, 16)) << c.name;
        EXPECT_EQ(payload(request, RTA_SRC).has_value(), c.source) << c.name;
        EXPECT_EQ(payload(request, RTA_OIF), c.oif ? std::optional(u32(*c.oif)) : none) << c.name;
        EXPECT_EQ(payload(request, RTA_MARK), c.mark ? std::optional(u32(*c.mark)) : none)
            << c.name;
        EXPECT_EQ(payload(request, RTA_IP_PROTO), std::vector<std::uint8_t>{IPPROTO_UDP}) << c.name;
        EXPECT_EQ(payload(request, RTA_SPORT), bytes_of(&flow.local.sin6_port, 2)) << c.name;
        EXPECT_EQ(payload(request, RTA_DPORT), bytes_of(&flow.peer.sin6_port, 2)) << c.name;
    }
}

TEST(LinkFromReply, DeviceAndIpv6Mtu)
{
    std::vector<std::uint8_t> conf((DEVCONF_MTU6 + 1) * 4, 0);
    const std::uint32_t mtu6 = 1400;
    std::memcpy(&conf[DEVCONF_MTU6 * 4], &mtu6, 4);
    const auto families = attribute(IFLA_AF_SPEC | NLA_F_NESTED,
                                    join({attribute(AF_INET, {1, 2, 3, 4}),
                                          attribute(AF_INET6, attribute(IFLA_INET6_CONF, conf))}));
    const auto short_conf =
        attribute(IFLA_AF_SPEC,
                  attribute(AF_INET6, attribute(IFLA_INET6_CONF,
                                                std::vector<std::uint8_t>(DEVCONF_MTU6 * 4, 0))));
    const auto device = attribute(IFLA_MTU, u32(1500));
    const auto a = link_from_reply(reply(RTM_NEWLINK, sizeof(ifinfomsg), join({device, families})));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->device_mtu, 1500);
    EXPECT_EQ(a->ipv6_mtu, 1400);
    const auto b =
        link_from_reply(reply(RTM_NEWLINK, sizeof(ifinfomsg), join({device, short_conf})));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->ipv6_mtu, none);
    EXPECT_FALSE(link_from_reply(reply(RTM_NEWROUTE, sizeof(ifinfomsg), device)));
}

std::vector<std::uint8_t> text(const char* s)
{
    return {s, s + std::strlen(s) + 1};
}

// A VXLAN or GENEVE device's one fixed unicast remote; nothing for any other
// kind, a group, or a device that finds its peers in its forwarding table.
TEST(LinkFromReply, TunnelRemote)
{
    const auto info = [](const char* kind, std::uint16_t type, std::vector<std::uint8_t> address) {
        return reply(RTM_NEWLINK, sizeof(ifinfomsg),
                     attribute(IFLA_LINKINFO | NLA_F_NESTED,
                               join({attribute(IFLA_INFO_KIND, text(kind)),
                                     attribute(IFLA_INFO_DATA | NLA_F_NESTED,
                                               join({attribute(IFLA_VXLAN_ID, u32(42)),
                                                     attribute(type, address)}))})));
    };
    std::vector<std::uint8_t> six(16, 0);
    six[0] = 0x20;
    six[15] = 2;
    std::vector<std::uint8_t> group(16, 0);
    group[0] = 0xff;
    const std::vector<std::uint8_t> four = {198, 51, 100, 2};
    const struct {
        const char* name;
        std::vector<std::uint8_t> reply;
        int family;  // 0: no tunnel
        std::vector<std::uint8_t> address;
        bool own_tunnel = true;
        bool forwarding_table = false;
    } cases[] = {
        {"vxlan over IPv6", info("vxlan", IFLA_VXLAN_GROUP6, six), AF_INET6, six},
        {"vxlan over IPv4", info("vxlan", IFLA_VXLAN_GROUP, four), AF_INET, four},
        {"geneve over IPv6", info("geneve", IFLA_GENEVE_REMOTE6, six), AF_INET6, six},
        {"geneve over IPv4", info("geneve", IFLA_GENEVE_REMOTE, four), AF_INET, four},
        {"vxlan to a group", info("vxlan", IFLA_VXLAN_GROUP6, group), 0, {}, true, true},
        {"vxlan without a remote", info("vxlan", IFLA_VXLAN_TTL, {64}), 0, {}, true, true},
        {"vxlan remote cut short", info("vxlan", IFLA_VXLAN_GROUP6, four), 0, {}, true, true},
        {"another kind", info("gretap", IFLA_VXLAN_GROUP6, six), 0, {}},
        {"a bridge", info("bridge", IFLA_VXLAN_GROUP6, six), 0, {}, false},
        {"no link information", reply(RTM_NEWLINK, sizeof(ifinfomsg), {}), 0, {}, false},
    };
    for (const auto& c : cases) {
        const auto link = link_from_reply(c.reply);
        ASSERT_TRUE(link) << c.name;
        EXPECT_EQ(link->own_tunnel, c.own_tunnel) << c.name;
        EXPECT_EQ(link->forwarding_table, c.forwarding_table) << c.name;
        ASSERT_EQ(link->tunnel.has_value(), c.family != 0) << c.name;
        if (link->tunnel) {
            EXPECT_EQ(link->tunnel->family, c.family) << c.name;
            EXPECT_TRUE(
                std::equal(c.address.begin(), c.address.end(), link->tunnel->address.begin()))
                << c.name;
        }
    }
    // The underlay's route to it, as the system uses it.
    tunnel_remote remote{AF_INET, {198, 51, 100, 2}};
    const auto request = underlay_request(remote);
    rtmsg route{};
    std::memcpy(&route, request.data() + NLMSG_HDRLEN, sizeof route);
    EXPECT_EQ(route.rtm_family, AF_INET);
    EXPECT_EQ(route.rtm_dst_len, 32);
    EXPECT_EQ(route.rtm_flags & RTM_F_FIB_MATCH, 0U);
    EXPECT_EQ(payload(request, RTA_DST), four);
}

// A VXLAN without a fixed remote: the neighbour's link-layer address, then
// the remote of the device's own forwarding entry for it.
TEST(NeighbourFromReply, LinkAddressThenRemote)
{
    const std::vector<std::uint8_t> mac = {2, 0, 0, 0, 0, 7};
    std::vector<std::uint8_t> six(16, 0);
    six[0] = 0x20;
    six[15] = 2;
    const auto answer = [](const std::vector<std::uint8_t>& attributes) {
        return neighbour_from_reply(reply(RTM_NEWNEIGH, sizeof(ndmsg), attributes));
    };
    const auto neighbour = answer(join({attribute(NDA_DST, six), attribute(NDA_LLADDR, mac)}));
    ASSERT_TRUE(neighbour && neighbour->link_address);
    EXPECT_TRUE(std::equal(mac.begin(), mac.end(), neighbour->link_address->begin()));
    const auto entry =
        answer(join({attribute(NDA_LLADDR, mac), attribute(NDA_DST, {198, 51, 100, 2})}));
    ASSERT_TRUE(entry && entry->remote);
    EXPECT_EQ(entry->remote->family, AF_INET);
    EXPECT_FALSE(answer(attribute(NDA_DST, std::vector<std::uint8_t>(16, 0)))->remote);
    EXPECT_FALSE(answer(attribute(NDA_LLADDR, {2, 0, 0}))->link_address);
    EXPECT_FALSE(neighbour_from_reply(reply(NLMSG_ERROR, sizeof(nlmsgerr), {})));

    const auto request = forwarding_request(7, {});
    ndmsg header{};
    std::memcpy(&header, request.data() + NLMSG_HDRLEN, sizeof header);
    EXPECT_EQ(header.ndm_family, AF_BRIDGE);
    EXPECT_EQ(header.ndm_flags, NTF_SELF);
    EXPECT_EQ(header.ndm_ifindex, 7);
    EXPECT_TRUE(
        find_attribute(std::span(request).subspan(NLMSG_LENGTH(sizeof(ndmsg))), NDA_LLADDR));
}

#endif

}  // namespace
