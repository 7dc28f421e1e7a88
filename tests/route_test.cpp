#include "route.h"

#include <sys/types.h>
#include <sys/socket.h>

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
