#include "listener.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <netinet/icmp6.h>
#include <arpa/inet.h>
#include <poll.h>

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
constexpr std::size_t quoted_destination_port = 42;
constexpr std::uint8_t next_header_udp = 17;
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

bool bytes_equal(std::span<const std::uint8_t> quote, std::size_t offset, const void* expected,
                 std::size_t length)
{
    return std::memcmp(quote.data() + offset, expected, length) == 0;
}

}  // namespace

bool quotes_probe(std::span<const std::uint8_t> quote, const reply_filter& filter)
{
    if (quote.size() < shortest_reply - 8) {
        return false;
    }
    return quote[quoted_next_header] == next_header_udp &&
           bytes_equal(quote, quoted_source, filter.local_address.data(), 16) &&
           bytes_equal(quote, quoted_destination, filter.remote_address.data(), 16) &&
           bytes_equal(quote, quoted_source_port, &filter.local_port, 2) &&
           bytes_equal(quote, quoted_destination_port, &filter.remote_port, 2);
}

std::array<char, INET6_ADDRSTRLEN> address_text(const std::array<std::uint8_t, 16>& address)
{
    std::array<char, INET6_ADDRSTRLEN> text{};
    (void)inet_ntop(AF_INET6, address.data(), text.data(), text.size());
    return text;
}

hop_report make_report(std::span<const std::uint8_t> message,
                       const std::array<std::uint8_t, 16>& source)
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
constexpr std::uint16_t load_half = BPF_LD | BPF_H | BPF_ABS;
constexpr std::uint16_t load_byte = BPF_LD | BPF_B | BPF_ABS;
constexpr std::uint16_t equal = BPF_JMP | BPF_JEQ | BPF_K;
constexpr std::uint16_t at_least = BPF_JMP | BPF_JGE | BPF_K;

}  // namespace

std::vector<sock_filter> reply_program(const reply_filter& filter)
{
    // One comparison per field of the match rule; each failure jumps to the
    // drop at the end, which is patched in when the length is known.
    std::vector<sock_filter> program;
    std::vector<std::size_t> to_drop;
    auto compare = [&](std::uint16_t load, std::size_t offset, std::uint32_t value,
                       std::uint16_t test = equal) {
        program.push_back(BPF_STMT(load, static_cast<std::uint32_t>(offset)));
        to_drop.push_back(program.size());
        program.push_back(BPF_JUMP(test, value, 0, 0));
    };
    // The loads read network byte order, as the fields are on the wire.
    auto word_at = [](const std::uint8_t* bytes) {
        return static_cast<std::uint32_t>(bytes[0]) << 24U |
               static_cast<std::uint32_t>(bytes[1]) << 16U |
               static_cast<std::uint32_t>(bytes[2]) << 8U | bytes[3];
    };
    compare(load_length, 0, shortest_reply, at_least);
    compare(load_byte, 8 + quoted_next_header, next_header_udp);
    for (std::size_t i = 0; i < 16; i += 4) {
        compare(load_word, 8 + quoted_source + i, word_at(&filter.local_address[i]));
    }
    for (std::size_t i = 0; i < 16; i += 4) {
        compare(load_word, 8 + quoted_destination + i, word_at(&filter.remote_address[i]));
    }
    compare(load_half, 8 + quoted_source_port, ntohs(filter.local_port));
    compare(load_half, 8 + quoted_destination_port, ntohs(filter.remote_port));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, 0xffffffffU));
    const std::size_t drop = program.size();
    program.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    for (const std::size_t jump : to_drop) {
        program[jump].jf = static_cast<std::uint8_t>(drop - jump - 1);
    }
    return program;
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

// Waits at most 2 s in all, on a monotonic clock: dropped messages neither
// extend the wait nor cut it short. Any failure ends the call as "no reply",
// so nothing ever blocks on a receive with nothing queued.
bool wait_for_reply(int listener, const reply_filter& filter)
{
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + reply_wait;
    std::array<std::uint8_t, receive_buffer_bytes> message{};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        pollfd watched{listener, POLLIN, 0};
        if (left.count() <= 0 || poll(&watched, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        const ssize_t length = recv(listener, message.data(), message.size(), MSG_PEEK);
        if (length < 0) {
            return false;
        }
        const auto size = static_cast<std::size_t>(length);
        if (size >= shortest_reply &&
            quotes_probe(std::span(message).subspan(8, size - 8), filter)) {
            return true;
        }
        if (recv(listener, message.data(), message.size(), 0) < 0) {
            return false;
        }
    }
}

hop_report read_reply(int listener)
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
    return make_report(std::span(message).first(static_cast<std::size_t>(length)), address);
}
