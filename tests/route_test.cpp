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
        EXPECT_EQ(choose_mtu({c.route, 7}, {c.device, c.ipv6}), c.chosen) << c.name;
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

#endif

}  // namespace
