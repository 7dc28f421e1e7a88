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

namespace {

constexpr std::size_t quoted_next_header = 6;
constexpr std::size_t quoted_source = 8;
constexpr std::size_t quoted_destination = 24;
constexpr std::size_t quoted_source_port = 40;
constexpr std::size_t quoted_destination_port = 42;
constexpr std::uint8_t next_header_udp = 17;

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

raw_socket open_raw_socket()
{
    raw_socket raw;
    raw.fd = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
    raw.error = raw.fd < 0 ? errno : 0;
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
