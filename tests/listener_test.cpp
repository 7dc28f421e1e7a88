#include "listener.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr auto none = std::nullopt;

std::array<std::uint8_t, 16> addr(const char* text)
{
    std::array<std::uint8_t, 16> bytes{};
    EXPECT_EQ(inet_pton(AF_INET6, text, bytes.data()), 1) << text;
    return bytes;
}

reply_filter sample_filter()
{
    reply_filter filter;
    filter.local_address = addr("2001:db8:1::1");
    filter.remote_address = addr("2001:db8:2::2");
    filter.local_port = htons(40001);
    filter.remote_port = htons(33000);
    return filter;
}

// An ICMPv6 error of `type`, `code` and 32-bit `field` quoting a UDP probe
// that matches sample_filter(), cut or padded to `length` bytes.
std::vector<std::uint8_t> error_message(std::uint8_t type, std::uint8_t code, std::uint32_t field,
                                        std::size_t length = 100)
{
    std::vector<std::uint8_t> m(std::max<std::size_t>(length, 52), 0);
    const reply_filter f = sample_filter();
    m[0] = type;
    m[1] = code;
    field = htonl(field);
    std::memcpy(&m[4], &field, 4);
    m[8] = 0x60;
    m[14] = 17;
    m[15] = 64;
    std::memcpy(&m[16], f.local_address.data(), 16);
    std::memcpy(&m[32], f.remote_address.data(), 16);
    std::memcpy(&m[48], &f.local_port, 2);
    std::memcpy(&m[50], &f.remote_port, 2);
    m.resize(length);
    return m;
}

// The same error about this host's own tunnel: `before` bytes of outer
// headers (an IPv6 header whose next header is `outer`, the rest zero), then
// the probe unchanged.
std::vector<std::uint8_t> encapsulated(std::size_t before, std::uint8_t outer = 17,
                                       std::uint8_t type = 2, std::uint8_t code = 0,
                                       std::uint32_t field = 1400)
{
    const auto probe = error_message(type, code, field);
    std::vector<std::uint8_t> m(probe.begin(), probe.begin() + 8);
    m.resize(8 + before, 0);
    m[8] = 0x60;
    m[14] = outer;
    std::memcpy(&m[16], addr("2001:db8:9::1").data(), 16);
    std::memcpy(&m[32], addr("2001:db8:9::2").data(), 16);
    m.insert(m.end(), probe.begin() + 8, probe.end());
    return m;
}

// The same error about a probe into which this host's route inserted an
// extension header of `length` bytes, of type `next`: segment routing (43),
// its last segment the host and the quoted destination the next segment.
std::vector<std::uint8_t> inserted(std::uint8_t next, std::size_t length, std::uint8_t type = 2,
                                   std::uint8_t code = 0)
{
    const auto probe = error_message(type, code, 1400);
    std::vector<std::uint8_t> m(probe.begin(), probe.begin() + 48);
    m[14] = next;
    std::vector<std::uint8_t> extension(length, 0);
    extension[0] = 17;
    extension[1] = static_cast<std::uint8_t>(length / 8 - 1);
    if (next == 43) {
        extension[2] = 4;
        std::memcpy(&extension[8], &m[32], 16);
        std::memcpy(&m[32], addr("2001:db8:5::5").data(), 16);
    }
    m.insert(m.end(), extension.begin(), extension.end());
    m.insert(m.end(), probe.begin() + 48, probe.end());
    return m;
}

std::vector<std::uint8_t> cut(std::vector<std::uint8_t> m, std::size_t length)
{
    m.resize(length);
    return m;
}

bool matches(const std::vector<std::uint8_t>& m)
{
    return m.size() >= 8 && quotes_probe(std::span(m).subspan(8), sample_filter());
}

TEST(QuotesProbe, MatchesOnlyOwnProbe)
{
    EXPECT_TRUE(matches(error_message(2, 0, 1280)));
    EXPECT_TRUE(matches(error_message(2, 0, 1280, 52)));
    EXPECT_FALSE(matches(error_message(2, 0, 1280, 51)));
    EXPECT_FALSE(matches(error_message(2, 0, 1280, 8)));
}

// Every byte the rule compares must take part in it, and no other byte may.
TEST(QuotesProbe, EachComparedByteCounts)
{
    const auto base = error_message(1, 4, 0, 52);
    for (std::size_t offset = 0; offset < base.size(); ++offset) {
        auto changed = base;
        changed[offset] ^= 0x01;
        const bool compared = offset == 14 || offset >= 16;
        EXPECT_EQ(matches(changed), !compared) << "offset " << offset;
    }
}

TEST(QuotesProbe, NextHeaderMustBeUdp)
{
    for (std::uint8_t next : {0, 6, 43, 44, 58, 60, 16, 18}) {
        auto m = error_message(2, 0, 1280);
        m[14] = next;
        EXPECT_FALSE(matches(m)) << int(next);
    }
}

TEST(QuotesProbe, BytesBeyondPortsAreIgnored)
{
    auto m = error_message(2, 0, 1280, 60);
    for (std::size_t i = 52; i < m.size(); ++i) {
        m[i] = 0xff;
    }
    EXPECT_TRUE(matches(m));
}

#ifdef __linux__
// A classic-BPF program run by the kernel on one end of a datagram socket
// pair, over each datagram from its first byte.
struct kernel_filter {
    std::array<int, 2> ends{-1, -1};
    explicit kernel_filter(std::vector<sock_filter> program)
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, ends.data()), 0);
        const sock_fprog attached{static_cast<unsigned short>(program.size()), program.data()};
        EXPECT_EQ(setsockopt(ends[1], SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached), 0);
    }
    ~kernel_filter()
    {
        close(ends[0]);
        close(ends[1]);
    }
    kernel_filter(const kernel_filter&) = delete;
    kernel_filter& operator=(const kernel_filter&) = delete;
    bool keeps(const std::vector<std::uint8_t>& m) const
    {
        EXPECT_EQ(send(ends[0], m.data(), m.size(), 0), static_cast<ssize_t>(m.size()));
        std::array<std::uint8_t, 1500> buffer{};
        return recv(ends[1], buffer.data(), buffer.size(), MSG_DONTWAIT) ==
               static_cast<ssize_t>(m.size());
    }
};

std::vector<std::uint8_t> with(std::vector<std::uint8_t> m, std::size_t offset, std::uint8_t value)
{
    m[offset] = value;
    return m;
}

// ICMP "fragmentation needed" as a raw IPv4 socket gives it, about this
// host's tunnel over IPv4: its IPv4 header, the ICMP header with the next
// hop's MTU, the outer IPv4 header and `before - 20` bytes of tunnel headers,
// then the probe unchanged.
std::vector<std::uint8_t> fragmentation_needed(std::size_t before, std::uint16_t next_hop = 1400)
{
    const auto probe = error_message(1, 4, 0);
    std::vector<std::uint8_t> m(28 + before, 0);
    m[0] = 0x45;
    m[9] = 1;
    m[20] = 3;
    m[21] = 4;
    m[26] = static_cast<std::uint8_t>(next_hop >> 8U);
    m[27] = static_cast<std::uint8_t>(next_hop & 0xffU);
    m[28] = 0x45;
    m.insert(m.end(), probe.begin() + 8, probe.end());
    return m;
}

// The ICMP forms, kept alike by the kernel's copy of the rule and by
// ipv4_added_bytes; each kept one leaves the probe the next hop's MTU less
// the bytes before it, listed under the probe's source.
TEST(Ipv4ReplyProgram, KeepsWhatTheMatchRuleKeeps)
{
    const kernel_filter kernel(ipv4_reply_program(sample_filter()));
    const struct {
        const char* name;
        std::vector<std::uint8_t> datagram;
        std::optional<std::size_t> added;
    } cases[] = {
        {"sit", fragmentation_needed(20), 20},
        {"GRE", fragmentation_needed(24), 24},
        {"FOU", fragmentation_needed(28), 28},
        {"VXLAN", fragmentation_needed(50), 50},
        {"the furthest a probe is looked for", fragmentation_needed(furthest_probe),
         furthest_probe},
        {"another flow inside", with(fragmentation_needed(50), 28 + 50 + 23, 0x42), none},
        {"inside, TCP", with(fragmentation_needed(50), 28 + 50 + 6, 6), none},
        {"an old router's 8 bytes", cut(fragmentation_needed(20), 28 + 28), none},
        {"a quote cut before the ports", cut(fragmentation_needed(50), 28 + 50 + 43), none},
        {"another type", with(fragmentation_needed(50), 20, 11), none},
        {"another code", with(fragmentation_needed(50), 21, 1), none},
        {"IPv4 options", with(fragmentation_needed(50), 0, 0x46), none},
        {"quoted IPv4 options", with(fragmentation_needed(50), 28, 0x46), none},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kernel.keeps(c.datagram), c.added.has_value()) << c.name;
        EXPECT_EQ(ipv4_added_bytes(c.datagram, sample_filter()), c.added) << c.name;
        const hop_report r = make_ipv4_report(c.datagram, sample_filter());
        EXPECT_EQ(r.mtu, c.added ? 1400 - static_cast<std::int32_t>(*c.added) : 0) << c.name;
    }
    EXPECT_STREQ(make_ipv4_report(fragmentation_needed(50), sample_filter()).address.data(),
                 "2001:db8:1::1");
    EXPECT_EQ(make_ipv4_report(fragmentation_needed(50, 40), sample_filter()).mtu, 0);
}

// The kernel's copy of the rule, run by the kernel on one end of a datagram
// socket pair: it keeps exactly what quotes_probe keeps.
TEST(ReplyProgram, KeepsWhatTheMatchRuleKeeps)
{
    const kernel_filter kernel(reply_program(sample_filter()));
    const auto kept = [&kernel](const std::vector<std::uint8_t>& m) { return kernel.keeps(m); };
    const auto too_big = error_message(2, 0, 1280);
    const struct {
        const char* name;
        std::vector<std::uint8_t> message;
        bool kept;
    } cases[] = {
        {"this run's packet too big", too_big, true},
        {"port unreachable", error_message(1, 4, 0), true},
        {"another run's source port", with(too_big, 49, 0x42), false},
        {"another run's destination port", with(too_big, 50, 0x42), false},
        {"another source address", with(too_big, 16, 0x42), false},
        {"another destination address", with(too_big, 47, 0x42), false},
        {"a TCP quote", with(too_big, 14, 6), false},
        {"51 bytes", error_message(2, 0, 1280, 51), false},
        {"52 bytes", error_message(2, 0, 1280, 52), true},
        {"a quote with an extension header", with(too_big, 14, 0), false},
        // This host's own tunnels, with the probe behind their headers.
        {"ip6gre", encapsulated(52, 60), true},
        {"FOU", encapsulated(56), true},
        {"GUE", encapsulated(60), true},
        {"L2TPv3 over IP", encapsulated(62, 115), true},
        {"SRv6 encapsulation", with(encapsulated(64, 43), 48, 41), true},
        {"ip6gretap", encapsulated(66, 60), true},
        {"VXLAN", encapsulated(70), true},
        {"L2TPv3 over UDP", encapsulated(74), true},
        {"the furthest a probe is looked for", encapsulated(furthest_probe), true},
        {"further", encapsulated(furthest_probe + 2), false},
        {"another flow inside: source", with(encapsulated(70), 8 + 70 + 23, 0x42), false},
        {"another flow inside: destination", with(encapsulated(70), 8 + 70 + 24, 0x42), false},
        {"another flow inside: TCP", with(encapsulated(70), 8 + 70 + 6, 6), false},
        {"a tunnel's quote cut before the ports", cut(encapsulated(70), 8 + 70 + 43), false},
        {"a tunnel's quote cut after them", cut(encapsulated(70), 8 + 70 + 44), true},
        // Extension headers this host's route inserted.
        {"a routing header of one segment", inserted(43, 24), true},
        {"a routing header of two segments", inserted(43, 40), true},
        {"segments beyond the quote", with(inserted(43, 40), 49, 200), false},
        {"a routing header cut before the ports", cut(inserted(43, 40), 8 + 40 + 40 + 3), false},
        {"a routing header of no segment", with(inserted(43, 24), 49, 0), false},
        {"another routing type", with(inserted(43, 24), 50, 2), false},
        {"another last segment", with(inserted(43, 24), 8 + 40 + 8 + 15, 0x42), false},
        {"a routing header, then TCP", with(inserted(43, 24), 48, 6), false},
        {"a hop-by-hop option", inserted(0, 8), true},
        {"destination options", inserted(60, 16), true},
        {"an option to another host", with(inserted(0, 8), 47, 0x42), false},
        {"an option from another host", with(inserted(60, 8), 16, 0x42), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kept(c.message), c.kept) << c.name;
        EXPECT_EQ(matches(c.message), c.kept) << c.name;
    }
    // Every byte of a 52-byte message, changed, is judged alike.
    const auto base = error_message(1, 4, 0, 52);
    for (std::size_t offset = 0; offset < base.size(); ++offset) {
        const auto changed = with(base, offset, base[offset] ^ 0x80U);
        EXPECT_EQ(kept(changed), matches(changed)) << "offset " << offset;
    }
}
#endif

// Where no kernel filter drops them, errors about other traffic neither
// extend the wait nor cut it short.
TEST(WaitForReply, ForeignErrorsDoNotExtendTheWait)
{
    int ends[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, ends), 0);
    auto foreign = error_message(1, 4, 0);
    foreign[49] ^= 0x42;  // another run's source port
    std::atomic<bool> done = false;
    std::thread other_run([&] {
        for (int i = 0; i < 40 && !done; ++i) {
            (void)send(ends[0], foreign.data(), foreign.size(), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(wait_for_reply(ends[1], sample_filter()));
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - started;
    done = true;
    other_run.join();
    EXPECT_GT(waited.count(), 1.9);
    EXPECT_LT(waited.count(), 3.0);
    close(ends[0]);
    close(ends[1]);
}

struct report_case {
    const char* name;
    std::uint8_t type;
    std::uint8_t code;
    std::uint32_t field;
    std::int32_t mtu;
    std::uint8_t kept_type;
    std::uint8_t kept_code;
};

TEST(MakeReport, ClassifiesTypeCodeAndField)
{
    const report_case cases[] = {
        {"packet too big", 2, 0, 1280, 1280, 0, 0},
        {"too big, code 1", 2, 1, 1400, 1400, 0, 0},
        {"too big, code 255", 2, 255, 9000, 9000, 0, 0},
        {"too big, mtu 0", 2, 0, 0, 0, 0, 0},
        {"too big, 2^31", 2, 0, 2147483648U, INT32_MIN, 0, 0},
        {"too big, 2^32-1", 2, 0, 4294967295U, -1, 0, 0},
        {"too big, 2^31-1", 2, 0, 2147483647U, INT32_MAX, 0, 0},
        {"too big, below minimum", 2, 0, 100, 100, 0, 0},
        {"port unreachable", 1, 4, 0, -1, 0, 0},
        {"no route", 1, 0, 0, -1, 1, 0},
        {"admin", 1, 1, 0, -1, 1, 1},
        {"unreach, field ignored", 1, 3, 1280, -1, 1, 3},
        {"hop limit", 3, 0, 0, -1, 3, 0},
        {"reassembly", 3, 1, 0, -1, 3, 1},
        {"parameter problem", 4, 2, 0, -1, 4, 2},
        {"unknown type", 200, 7, 1280, -1, 200, 7},
    };
    const auto source = addr("2001:db8::1");
    for (const auto& c : cases) {
        const auto m = error_message(c.type, c.code, c.field);
        const hop_report r = make_report(m, source, sample_filter());
        EXPECT_EQ(r.mtu, c.mtu) << c.name;
        EXPECT_EQ(r.type, c.kept_type) << c.name;
        EXPECT_EQ(r.code, c.kept_code) << c.name;
        EXPECT_STREQ(r.address.data(), "2001:db8::1") << c.name;
    }
}

// A Packet Too Big about what this host added to a probe leaves the probe
// the rest, listed under the probe's source; other errors read as ever.
TEST(MakeReport, ThisHostsOwnHeadersTakenOff)
{
    const struct {
        const char* name;
        std::vector<std::uint8_t> message;
        std::optional<std::size_t> added;
        std::int32_t mtu;
        const char* address;
    } cases[] = {
        {"the probe as sent", error_message(2, 0, 1400), 0, 1400, "2001:db8::1"},
        {"VXLAN", encapsulated(70), 70, 1330, "2001:db8:1::1"},
        {"routing header", inserted(43, 40), 40, 1360, "2001:db8:1::1"},
        {"port unreachable through it", inserted(43, 40, 1, 4), 40, -1, "2001:db8::1"},
        {"an error about the tunnel", encapsulated(70, 17, 1, 1), 70, -1, "2001:db8::1"},
        {"an MTU the headers fill", encapsulated(70, 17, 2, 0, 70), 70, 0, "2001:db8:1::1"},
        {"an MTU of 2^32-1", encapsulated(70, 17, 2, 0, 4294967295U), 70, -1, "2001:db8::1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(added_bytes(std::span(c.message).subspan(8), sample_filter()), c.added) << c.name;
        const hop_report r = make_report(c.message, addr("2001:db8::1"), sample_filter());
        EXPECT_EQ(r.mtu, c.mtu) << c.name;
        EXPECT_STREQ(r.address.data(), c.address) << c.name;
    }
}

TEST(MakeReport, ShortMessageReadsMissingFieldAsZero)
{
    const std::vector<std::uint8_t> m = {2, 0, 0, 0, 0, 0x05};
    EXPECT_EQ(make_report(m, addr("::1"), sample_filter()).mtu, 0x00050000);
    EXPECT_EQ(make_report({}, addr("::1"), sample_filter()).type, 0);
}

TEST(AddressText, LongestFormFitsAndHasNoZone)
{
    EXPECT_STREQ(address_text(addr("fe80::1")).data(), "fe80::1");
    EXPECT_STREQ(address_text(addr("ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255")).data(),
                 "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    EXPECT_STREQ(address_text(addr("::ffff:255.255.255.255")).data(), "::ffff:255.255.255.255");
}

}  // namespace
