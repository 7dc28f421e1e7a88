#include "probe.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <netdb.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(ProbePort, LowFifteenBitsOfPidAbove32768)
{
    const struct {
        pid_t pid;
        std::uint16_t port;
    } cases[] = {
        {5, 32773},     {40000, 40000}, {70000, 37232}, {0, 32768},
        {32767, 65535}, {32768, 32768}, {65535, 65535}, {4194304, 32768},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ntohs(probe_port(c.pid)), c.port) << c.pid;
    }
}

TEST(PayloadLength, PacketIsExactlyTheSize)
{
    const struct {
        std::int32_t size;
        std::int32_t payload;
    } cases[] = {{1500, 1452}, {1280, 1232}, {48, 0}, {47, -1}, {0, -48}, {65575, 65527}};
    for (const auto& c : cases) {
        EXPECT_EQ(payload_length(c.size), c.payload) << c.size;
    }
    EXPECT_EQ(payload_length(65575), static_cast<std::int32_t>(max_probe_payload));
}

// A resolver's answer built by hand: one entry per address text, IPv6 unless
// the text is an IPv4 address.
struct answer {
    std::vector<sockaddr_in6> v6;
    std::vector<sockaddr_in> v4;
    std::vector<addrinfo> entries;

    explicit answer(const std::vector<const char*>& texts)
    {
        v6.reserve(texts.size());
        v4.reserve(texts.size());
        entries.reserve(texts.size());
        for (const char* text : texts) {
            addrinfo entry{};
            sockaddr_in6 six{};
            sockaddr_in four{};
            if (inet_pton(AF_INET6, text, &six.sin6_addr) == 1) {
                six.sin6_family = AF_INET6;
                six.sin6_scope_id = 7;
                v6.push_back(six);
                entry.ai_family = AF_INET6;
                entry.ai_addr = reinterpret_cast<sockaddr*>(&v6.back());
                entry.ai_addrlen = sizeof six;
            } else {
                EXPECT_EQ(inet_pton(AF_INET, text, &four.sin_addr), 1) << text;
                four.sin_family = AF_INET;
                v4.push_back(four);
                entry.ai_family = AF_INET;
                entry.ai_addr = reinterpret_cast<sockaddr*>(&v4.back());
                entry.ai_addrlen = sizeof four;
            }
            entries.push_back(entry);
        }
        for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
            entries[i].ai_next = &entries[i + 1];
        }
    }
    const addrinfo* first() const
    {
        return entries.empty() ? nullptr : entries.data();
    }
};

TEST(PickAddress, FirstIpv6AddressThatSendsIpv6)
{
    const struct {
        std::vector<const char*> answer;
        const char* picked;  // nullptr: the host does not resolve
    } cases[] = {
        {{"2001:db8::1", "2001:db8::2"}, "2001:db8::1"},
        {{"::ffff:192.0.2.1"}, nullptr},
        {{"::ffff:127.0.0.1", "2001:db8::2"}, "2001:db8::2"},
        {{"192.0.2.1", "2001:db8::2"}, "2001:db8::2"},
        {{"192.0.2.1"}, nullptr},
        {{}, nullptr},
        {{"::"}, "::"},
        {{"ff02::1"}, "ff02::1"},
        {{"::1"}, "::1"},
    };
    for (const auto& c : cases) {
        const answer a(c.answer);
        const auto picked = pick_address(a.first());
        const char* first = c.answer.empty() ? "(empty)" : c.answer.front();
        ASSERT_EQ(picked.has_value(), c.picked != nullptr) << first;
        if (picked) {
            std::array<char, INET6_ADDRSTRLEN> text{};
            inet_ntop(AF_INET6, &picked->sin6_addr, text.data(), text.size());
            EXPECT_STREQ(text.data(), c.picked) << first;
            EXPECT_EQ(picked->sin6_scope_id, 7U) << "the zone is kept";
        }
    }
}

// Control data as recvmsg hands it over: items of (level, type, data bytes).
struct control_item {
    int level;
    int type;
    std::uint32_t mtu;
    std::size_t data_length;
};

std::optional<std::int32_t> mtu_from(const std::vector<control_item>& items)
{
    alignas(cmsghdr) std::array<std::byte, 256> buffer{};
    msghdr message{};
    message.msg_control = buffer.data();
    message.msg_controllen = buffer.size();
    std::size_t used = 0;
    cmsghdr* item = CMSG_FIRSTHDR(&message);
    for (const auto& i : items) {
        item->cmsg_level = i.level;
        item->cmsg_type = i.type;
        item->cmsg_len = CMSG_LEN(i.data_length);
        ip6_mtuinfo info{};
        info.ip6m_mtu = i.mtu;
        std::memcpy(CMSG_DATA(item), &info, std::min(sizeof info, i.data_length));
        used += CMSG_SPACE(i.data_length);
        item = CMSG_NXTHDR(&message, item);
    }
    message.msg_controllen = used;
    return path_mtu_from_control(message);
}

TEST(PathMtuFromControl, ReadsOnlyAWholePathMtuItem)
{
    constexpr std::size_t whole = sizeof(ip6_mtuinfo);
    const struct {
        const char* name;
        std::vector<control_item> items;
        std::optional<std::int32_t> mtu;
    } cases[] = {
        {"path mtu", {{IPPROTO_IPV6, IPV6_PATHMTU, 1400, whole}}, 1400},
        {"after another item",
         {{IPPROTO_IPV6, IPV6_HOPLIMIT, 64, sizeof(int)},
          {IPPROTO_IPV6, IPV6_PATHMTU, 1280, whole}},
         1280},
        {"no items", {}, std::nullopt},
        {"other level", {{SOL_SOCKET, IPV6_PATHMTU, 1400, whole}}, std::nullopt},
        {"other type", {{IPPROTO_IPV6, IPV6_HOPLIMIT, 1400, whole}}, std::nullopt},
        {"cut short", {{IPPROTO_IPV6, IPV6_PATHMTU, 1400, whole - 1}}, std::nullopt},
        {"mtu 0", {{IPPROTO_IPV6, IPV6_PATHMTU, 0, whole}}, std::nullopt},
        {"beyond a signed field", {{IPPROTO_IPV6, IPV6_PATHMTU, 0x80000000U, whole}}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mtu_from(c.items), c.mtu) << c.name;
    }
}

}  // namespace
