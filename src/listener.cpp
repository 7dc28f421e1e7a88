#include "listener.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <netinet/icmp6.h>
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/icmp.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The build chooses; without a word from it, the kernel filters.
#ifndef PMTU6_SOCKET_FILTER
#define PMTU6_SOCKET_FILTER 1
#endif

namespace {

constexpr std::size_t quoted_next_header = 6;
constexpr std::size_t quoted_source = 8;
constexpr std::size_t quoted_destination = 24;
constexpr std::size_t quoted_source_port = 40;
constexpr std::size_t ipv6_header = 40;
constexpr std::uint8_t next_header_udp = 17;
constexpr std::uint8_t next_header_hop_by_hop = 0;
constexpr std::uint8_t next_header_routing = 43;
constexpr std::uint8_t next_header_destination_options = 60;
constexpr std::uint8_t routing_segments = 4;
// An ICMP datagram as a raw IPv4 socket gives it: its IPv4 header, the ICMP
// header, then the outer IPv4 header of the packet it is about.
constexpr std::size_t ipv4_header = 20;
constexpr std::uint8_t ipv4_plain_header = 0x45;  // version 4, no options
constexpr std::size_t icmp_header = ipv4_header;
constexpr std::size_t ipv4_quote = icmp_header + 8;
constexpr std::uint8_t icmp_unreachable = 3;
constexpr std::uint8_t icmp_fragmentation_needed = 4;
// More than a default receive buffer holds.
constexpr int max_discarded = 4096;

// A bounded number: a flood that arrives faster than it is read must not
// keep the tool here. What it leaves, the match drops.
void discard_queued(int fd)
{
    std::array<std::uint8_t, receive_buffer_bytes> message{};
    for (int discarded = 0; discarded < max_discarded; ++discarded) {
        if (recv(fd, message.data(), message.size(), MSG_DONTWAIT) < 0) {
            break;
        }
    }
}

// Bytes at `offset` equal `expected`, and the quote holds them all.
bool bytes_equal(std::span<const std::uint8_t> quote, std::size_t offset, const void* expected,
                 std::size_t length)
{
    return offset + length <= quote.size() &&
           std::memcmp(quote.data() + offset, expected, length) == 0;
}

bool ports_at(std::span<const std::uint8_t> quote, std::size_t udp, const reply_filter& filter)
{
    return bytes_equal(quote, udp, &filter.local_port, 2) &&
           bytes_equal(quote, udp + 2, &filter.remote_port, 2);
}

// The probe's IPv6 header at `header`, its destination (or last segment) at
// `destination`, its UDP header at `udp`.
bool probe_at(std::span<const std::uint8_t> quote, std::size_t header, std::size_t destination,
              std::size_t udp, const reply_filter& filter)
{
    return bytes_equal(quote, header + quoted_source, filter.local_address.data(), 16) &&
           bytes_equal(quote, destination, filter.remote_address.data(), 16) &&
           ports_at(quote, udp, filter);
}

// This host's own tunnel: outer headers from `first` bytes on, then the
// probe unchanged. The first place that holds the probe's ports must hold
// the rest of it.
std::optional<std::size_t> probe_behind(std::span<const std::uint8_t> quote, std::size_t first,
                                        const reply_filter& filter)
{
    for (std::size_t header = first;
         header <= furthest_probe && header + shortest_reply - 8 <= quote.size(); header += 2) {
        if (ports_at(quote, header + quoted_source_port, filter)) {
            const bool probe = quote[header + quoted_next_header] == next_header_udp &&
                               probe_at(quote, header, header + quoted_destination,
                                        header + quoted_source_port, filter);
            return probe ? std::optional(header) : std::nullopt;
        }
    }
    return std::nullopt;
}

// What an MTU leaves for a probe behind `added` bytes of this host's own:
// this host's limit, listed under the probe's source as for a refused probe.
hop_report left_for_probe(std::int32_t mtu, std::size_t added, const reply_filter& filter)
{
    hop_report report{};
    const auto bytes = static_cast<std::int32_t>(added);
    report.mtu = mtu > bytes ? mtu - bytes : 0;
    report.address = address_text(filter.local_address);
    return report;
}

}  // namespace

std::optional<std::size_t> ipv4_added_bytes(std::span<const std::uint8_t> datagram,
                                            const reply_filter& filter)
{
    if (datagram.size() < shortest_ipv4_reply || datagram[0] != ipv4_plain_header ||
        datagram[icmp_header] != icmp_unreachable ||
        datagram[icmp_header + 1] != icmp_fragmentation_needed ||
        datagram[ipv4_quote] != ipv4_plain_header) {
        return std::nullopt;
    }
    return probe_behind(datagram.subspan(ipv4_quote), ipv4_header, filter);
}

hop_report make_ipv4_report(std::span<const std::uint8_t> datagram, const reply_filter& filter)
{
    const auto added = ipv4_added_bytes(datagram, filter);
    if (!added) {
        return hop_report{};  // MTU 0: changes nothing
    }
    // The next hop's MTU: the outer packet's limit.
    return left_for_probe(datagram[icmp_header + 6] << 8 | datagram[icmp_header + 7], *added,
                          filter);
}

std::optional<std::size_t> added_bytes(std::span<const std::uint8_t> quote,
                                       const reply_filter& filter)
{
    if (quote.size() < shortest_reply - 8) {
        return std::nullopt;
    }
    const std::uint8_t next = quote[quoted_next_header];
    if (next == next_header_udp &&
        probe_at(quote, 0, quoted_destination, quoted_source_port, filter)) {
        return 0;
    }
    // One extension header that this host's route inserted, then the probe's
    // UDP header: the probe is here or nowhere.
    if ((next == next_header_hop_by_hop || next == next_header_destination_options ||
         next == next_header_routing) &&
        quote[ipv6_header] == next_header_udp) {
        const std::size_t length = (std::size_t{quote[ipv6_header + 1]} + 1) * 8;
        std::size_t destination = quoted_destination;
        if (next == next_header_routing) {
            // Only segment routing names the host: its last segment, which
            // heads the list.
            if (quote[ipv6_header + 2] != routing_segments || quote[ipv6_header + 1] < 2) {
                return std::nullopt;
            }
            destination = ipv6_header + 8;
        }
        return probe_at(quote, 0, destination, ipv6_header + length, filter) ? std::optional(length)
                                                                             : std::nullopt;
    }
    return probe_behind(quote, ipv6_header, filter);
}

bool quotes_probe(std::span<const std::uint8_t> quote, const reply_filter& filter)
{
    return added_bytes(quote, filter).has_value();
}

std::array<char, INET6_ADDRSTRLEN> address_text(const std::array<std::uint8_t, 16>& address)
{
    std::array<char, INET6_ADDRSTRLEN> text{};
    (void)inet_ntop(AF_INET6, address.data(), text.data(), text.size());
    return text;
}

hop_report make_report(std::span<const std::uint8_t> message,
                       const std::array<std::uint8_t, 16>& source, const reply_filter& filter)
{
    // The header fields are read as zero where a message is cut short.
    std::array<std::uint8_t, 8> header{};
    std::copy_n(message.begin(), std::min(message.size(), header.size()), header.begin());

    hop_report report{};
    report.address = address_text(source);
    const std::uint8_t type = header[0];
    const std::uint8_t code = header[1];
    if (type == ICMP6_PACKET_TOO_BIG) {
        std::uint32_t field = 0;
        std::memcpy(&field, &header[4], sizeof field);
        // Stored signed: 4294967295 reads as -1, as "reached".
        report.mtu = static_cast<std::int32_t>(ntohl(field));
        // About this host's own encapsulation of a probe: what is left for
        // the probe is this host's own limit, as for a refused probe.
        const auto added = message.size() >= shortest_reply
                               ? added_bytes(message.subspan(8), filter)
                               : std::nullopt;
        if (added && *added > 0 && report.mtu > 0) {
            return left_for_probe(report.mtu, *added, filter);
        }
    } else if (type == ICMP6_DST_UNREACH && code == ICMP6_DST_UNREACH_NOPORT) {
        report.mtu = -1;
    } else {
        report.mtu = -1;
        report.type = type;
        report.code = code;
    }
    return report;
}

#ifdef __linux__

namespace {

constexpr std::uint16_t load_length = BPF_LD | BPF_W | BPF_LEN;
constexpr std::uint16_t load_word = BPF_LD | BPF_W | BPF_ABS;
constexpr std::uint16_t load_byte = BPF_LD | BPF_B | BPF_ABS;
constexpr std::uint16_t load_word_at_x = BPF_LD | BPF_W | BPF_IND;
constexpr std::uint16_t load_byte_at_x = BPF_LD | BPF_B | BPF_IND;
constexpr std::uint16_t equal = BPF_JMP | BPF_JEQ | BPF_K;
constexpr std::uint16_t at_least = BPF_JMP | BPF_JGE | BPF_K;
constexpr std::uint16_t give = BPF_RET | BPF_K;
constexpr std::uint32_t keep = 0xffffffffU;

// Where a failed comparison goes: to the drop, or on to the next form.
enum class on_failure : std::uint8_t { drop, next_form };

// The program in the order of added_bytes, failures patched in once their
// targets are known. A load past the message's end drops it, as added_bytes
// finds nothing there.
struct builder {
    std::vector<sock_filter> code;
    std::vector<std::pair<std::size_t, on_failure>> failures;

    void add(sock_filter instruction)
    {
        code.push_back(instruction);
    }
    // Loads `load` at `offset` and goes on when it equals `value`.
    void expect(std::uint16_t load, std::size_t offset, std::uint32_t value, on_failure fail,
                std::uint16_t test = equal)
    {
        add(BPF_STMT(load, static_cast<std::uint32_t>(offset)));
        failures.emplace_back(code.size(), fail);
        add(BPF_JUMP(test, value, 0, 0));
    }
    void expect_address(std::uint16_t load, std::size_t offset,
                        const std::array<std::uint8_t, 16>& address, on_failure fail)
    {
        for (std::size_t i = 0; i < 16; i += 4) {
            expect(load, offset + i,
                   static_cast<std::uint32_t>(address[i]) << 24U |
                       static_cast<std::uint32_t>(address[i + 1]) << 16U |
                       static_cast<std::uint32_t>(address[i + 2]) << 8U | address[i + 3],
                   fail);
        }
    }
    // Every failure of `which` so far now goes to the next instruction.
    void resolve(on_failure which)
    {
        std::erase_if(failures, [&](const auto& failure) {
            if (failure.second != which) {
                return false;
            }
            code[failure.first].jf = static_cast<std::uint8_t>(code.size() - failure.first - 1);
            return true;
        });
    }
};

std::uint32_t ports_word(const reply_filter& filter)
{
    return static_cast<std::uint32_t>(ntohs(filter.local_port)) << 16U | ntohs(filter.remote_port);
}

// This host's own tunnel, its quote starting at `quote`: the first place
// from `first` on that holds the probe's ports, then the rest of the probe
// there. Ends the program with a drop.
void scan_for_probe(builder& b, std::size_t quote, std::size_t first, const reply_filter& filter)
{
    std::vector<std::size_t> to_inner;
    for (std::size_t header = first; header <= furthest_probe; header += 2) {
        b.add(BPF_STMT(load_word, static_cast<std::uint32_t>(quote + header + quoted_source_port)));
        b.add(BPF_JUMP(equal, ports_word(filter), 0, 2));
        b.add(BPF_STMT(BPF_LDX | BPF_W | BPF_IMM, static_cast<std::uint32_t>(header)));
        to_inner.push_back(b.code.size());
        b.add(BPF_JUMP(BPF_JMP | BPF_JA, 0, 0, 0));
    }
    b.add(BPF_STMT(give, 0));
    for (const std::size_t jump : to_inner) {
        b.code[jump].k = static_cast<std::uint32_t>(b.code.size() - jump - 1);
    }
    b.expect(load_byte_at_x, quote + quoted_next_header, next_header_udp, on_failure::drop);
    b.expect_address(load_word_at_x, quote + quoted_source, filter.local_address, on_failure::drop);
    b.expect_address(load_word_at_x, quote + quoted_destination, filter.remote_address,
                     on_failure::drop);
    b.add(BPF_STMT(give, keep));
    b.resolve(on_failure::drop);
    b.add(BPF_STMT(give, 0));
}

}  // namespace

std::vector<sock_filter> reply_program(const reply_filter& filter)
{
    // Offsets of the ICMPv6 message: the quote starts at 8.
    constexpr std::size_t q = 8;
    const std::uint32_t ports = ports_word(filter);
    builder b;
    b.expect(load_length, 0, shortest_reply, on_failure::drop, at_least);

    // The probe as it was sent.
    b.expect(load_byte, q + quoted_next_header, next_header_udp, on_failure::next_form);
    b.expect_address(load_word, q + quoted_source, filter.local_address, on_failure::next_form);
    b.expect_address(load_word, q + quoted_destination, filter.remote_address,
                     on_failure::next_form);
    b.expect(load_word, q + quoted_source_port, ports, on_failure::next_form);
    b.add(BPF_STMT(give, keep));
    b.resolve(on_failure::next_form);

    // One inserted extension header, then UDP.
    b.add(BPF_STMT(load_byte, q + quoted_next_header));
    const std::size_t extension = b.code.size();
    b.add(BPF_JUMP(equal, next_header_routing, 2, 0));
    b.add(BPF_JUMP(equal, next_header_hop_by_hop, 0, 0));  // both patched below
    b.add(BPF_JUMP(equal, next_header_destination_options, 0, 0));
    b.failures.emplace_back(b.code.size() - 1, on_failure::next_form);
    // Segment routing: the last segment is the host.
    b.expect(load_byte, q + ipv6_header, next_header_udp, on_failure::next_form);
    b.expect(load_byte, q + ipv6_header + 2, routing_segments, on_failure::drop);
    b.expect(load_byte, q + ipv6_header + 1, 2, on_failure::drop, at_least);
    b.expect_address(load_word, q + ipv6_header + 8, filter.remote_address, on_failure::drop);
    const std::size_t to_source = b.code.size();
    b.add(BPF_JUMP(BPF_JMP | BPF_JA, 0, 0, 0));
    // Other options: the destination is the host.
    const std::size_t options = b.code.size();
    b.code[extension + 1].jt = static_cast<std::uint8_t>(options - extension - 2);
    b.code[extension + 2].jt = static_cast<std::uint8_t>(options - extension - 3);
    b.expect(load_byte, q + ipv6_header, next_header_udp, on_failure::next_form);
    b.expect_address(load_word, q + quoted_destination, filter.remote_address, on_failure::drop);
    b.code[to_source].k = static_cast<std::uint32_t>(b.code.size() - to_source - 1);
    b.expect_address(load_word, q + quoted_source, filter.local_address, on_failure::drop);
    b.add(BPF_STMT(load_byte, q + ipv6_header + 1));  // the header's length: (n + 1) * 8
    b.add(BPF_STMT(BPF_ALU | BPF_ADD | BPF_K, 1));
    b.add(BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 3));
    b.add(BPF_STMT(BPF_MISC | BPF_TAX, 0));
    b.expect(load_word_at_x, q + ipv6_header, ports, on_failure::drop);
    b.add(BPF_STMT(give, keep));
    b.resolve(on_failure::drop);
    b.add(BPF_STMT(give, 0));
    b.resolve(on_failure::next_form);

    scan_for_probe(b, q, ipv6_header, filter);
    return b.code;
}

std::vector<sock_filter> ipv4_reply_program(const reply_filter& filter)
{
    builder b;
    b.expect(load_length, 0, shortest_ipv4_reply, on_failure::drop, at_least);
    b.expect(load_byte, 0, ipv4_plain_header, on_failure::drop);
    b.expect(load_byte, icmp_header, icmp_unreachable, on_failure::drop);
    b.expect(load_byte, icmp_header + 1, icmp_fragmentation_needed, on_failure::drop);
    b.expect(load_byte, ipv4_quote, ipv4_plain_header, on_failure::drop);
    b.add(BPF_JUMP(BPF_JMP | BPF_JA, 1, 0, 0));
    b.resolve(on_failure::drop);
    b.add(BPF_STMT(give, 0));
    scan_for_probe(b, ipv4_quote, ipv4_header, filter);
    return b.code;
}

#endif

raw_socket open_raw_socket()
{
    raw_socket raw;
    raw.fd = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
    raw.error = raw.fd < 0 ? errno : 0;
    if (raw.fd >= 0) {
        icmp6_filter nothing{};
        ICMP6_FILTER_SETBLOCKALL(&nothing);
        (void)setsockopt(raw.fd, IPPROTO_ICMPV6, ICMP6_FILTER, &nothing, sizeof nothing);
        // What arrived before the filter did must not wait out the lookup.
        discard_queued(raw.fd);
    }
    return raw;
}

int open_ipv4_listener()
{
#ifdef __linux__
    const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (fd < 0) {
        return -1;
    }
    // A bit set blocks its type: nothing until the probes' identity is known.
    const icmp_filter nothing{~0U};
    if (setsockopt(fd, SOL_RAW, ICMP_FILTER, &nothing, sizeof nothing) != 0) {
        (void)close(fd);
        return -1;
    }
    discard_queued(fd);
    return fd;
#else
    return -1;
#endif
}

int open_listener(raw_socket raw)
{
    const int fd = raw.fd;
    if (fd < 0) {
        errno = raw.error;
        perror("socket");
        exit(1);
    }
    icmp6_filter filter{};
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_DST_UNREACH, &filter);
    ICMP6_FILTER_SETPASS(ICMP6_PACKET_TOO_BIG, &filter);
    ICMP6_FILTER_SETPASS(ICMP6_TIME_EXCEEDED, &filter);
    ICMP6_FILTER_SETPASS(ICMP6_PARAM_PROB, &filter);
    if (setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) < 0) {
        perror("setsockopt ICMP6_FILTER");
        exit(-1);
    }
    return fd;
}

void keep_only_replies(int listener, const reply_filter& filter)
{
#if defined(__linux__) && PMTU6_SOCKET_FILTER
    auto program = reply_program(filter);
    const sock_fprog attached{static_cast<unsigned short>(program.size()), program.data()};
    (void)setsockopt(listener, SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached);
#else
    (void)filter;
#endif
    discard_queued(listener);
}

void keep_only_ipv4_replies([[maybe_unused]] int ipv4_listener,
                            [[maybe_unused]] const reply_filter& filter)
{
#ifdef __linux__
    if (ipv4_listener < 0) {
        return;
    }
#if PMTU6_SOCKET_FILTER
    auto program = ipv4_reply_program(filter);
    const sock_fprog attached{static_cast<unsigned short>(program.size()), program.data()};
    (void)setsockopt(ipv4_listener, SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached);
#endif
    const icmp_filter unreachable_only{~(1U << ICMP_DEST_UNREACH)};
    (void)setsockopt(ipv4_listener, SOL_RAW, ICMP_FILTER, &unreachable_only,
                     sizeof unreachable_only);
    discard_queued(ipv4_listener);
#endif
}

// Waits until the deadline (2 s from now by default), on a monotonic clock:
// dropped messages neither extend the wait nor cut it short. Any failure
// ends the call as "no reply", so nothing ever blocks on a receive with
// nothing queued.
reply_on wait_for_replies(int listener, int ipv4_listener, const reply_filter& filter,
                          std::optional<std::chrono::steady_clock::time_point> deadline)
{
    using clock = std::chrono::steady_clock;
    const auto until = deadline.value_or(clock::now() + reply_wait);
    std::array<std::uint8_t, receive_buffer_bytes> message{};
    // A negative descriptor is passed over by poll.
    std::array<pollfd, 2> watched{pollfd{listener, POLLIN, 0}, pollfd{ipv4_listener, POLLIN, 0}};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - clock::now());
        if (left.count() <= 0 ||
            poll(watched.data(), watched.size(), static_cast<int>(left.count())) <= 0) {
            return reply_on::none;
        }
        for (pollfd& ready : watched) {
            if (ready.revents == 0) {
                continue;
            }
            if ((ready.revents & POLLIN) == 0) {
                return reply_on::none;
            }
            const ssize_t length = recv(ready.fd, message.data(), message.size(), MSG_PEEK);
            if (length < 0) {
                return reply_on::none;
            }
            const auto got = std::span(message).first(static_cast<std::size_t>(length));
            if (ready.fd == listener) {
                if (got.size() >= shortest_reply && quotes_probe(got.subspan(8), filter)) {
                    return reply_on::icmp6;
                }
            } else if (ipv4_added_bytes(got, filter)) {
                return reply_on::icmp4;
            }
            if (recv(ready.fd, message.data(), message.size(), 0) < 0) {
                return reply_on::none;
            }
        }
    }
}

bool wait_for_reply(int listener, const reply_filter& filter,
                    std::optional<std::chrono::steady_clock::time_point> deadline)
{
    return wait_for_replies(listener, -1, filter, deadline) == reply_on::icmp6;
}

hop_report read_ipv4_reply(int ipv4_listener, const reply_filter& filter)
{
    std::array<std::uint8_t, receive_buffer_bytes> datagram{};
    const ssize_t length = recv(ipv4_listener, datagram.data(), datagram.size(), 0);
    if (length < 0) {
        return hop_report{};
    }
    return make_ipv4_report(std::span(datagram).first(static_cast<std::size_t>(length)), filter);
}

hop_report read_reply(int listener, const reply_filter& filter)
{
    std::array<std::uint8_t, receive_buffer_bytes> message{};
    sockaddr_in6 source{};
    socklen_t source_length = sizeof source;
    const ssize_t length = recvfrom(listener, message.data(), message.size(), 0,
                                    reinterpret_cast<sockaddr*>(&source), &source_length);
    if (length < 0) {
        return hop_report{};
    }
    std::array<std::uint8_t, 16> address{};
    std::memcpy(address.data(), &source.sin6_addr, address.size());
    return make_report(std::span(message).first(static_cast<std::size_t>(length)), address, filter);
}
