// ICMPv6 error listener: a raw ICMPv6 socket that passes only the four error
// types, the match rule that tells this run's errors from all others, and the
// reading of a matching error into a hop report.
#pragma once

#include "records.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#ifdef __linux__
#include <linux/filter.h>
#endif

// ICMPv6 header (8), quoted IPv6 header (40) and quoted UDP ports (4).
inline constexpr std::size_t shortest_reply = 52;
inline constexpr std::size_t receive_buffer_bytes = 1500;
inline constexpr std::chrono::milliseconds reply_wait{2000};
// The most bytes of this host's own tunnel headers looked past for a probe.
inline constexpr std::size_t furthest_probe = 256;

// Where `quote` (the invoking packet, from offset 8 of the ICMPv6 message)
// holds one of this run's probes, whole up to its UDP ports and equal to the
// filter: the bytes this host put before the probe's UDP header besides the
// probe's own IPv6 header. 0 for the probe as it was sent; an extension
// header that this host's route inserted (segment routing, whose last
// segment is then the host); or the outer headers of this host's own tunnel,
// with the probe unchanged behind them. Nothing for any other quote.
std::optional<std::size_t> added_bytes(std::span<const std::uint8_t> quote,
                                       const reply_filter& filter);
bool quotes_probe(std::span<const std::uint8_t> quote, const reply_filter& filter);

// An ICMP datagram from its IPv4 header on, as a raw IPv4 socket gives it:
// "fragmentation needed" about this host's own tunnel over IPv4, whose quote
// holds the outer IPv4 header, the tunnel's headers and the probe unchanged,
// up to its UDP ports. The bytes before the probe's IPv6 header in the quote,
// or nothing. IPv4 headers with options are not looked into.
inline constexpr std::size_t shortest_ipv4_reply = 20 + 8 + 20 + 44;
std::optional<std::size_t> ipv4_added_bytes(std::span<const std::uint8_t> datagram,
                                            const reply_filter& filter);

// Such a datagram is this host's own limit, listed under the probe's source:
// the next hop's MTU less the bytes before the probe.
hop_report make_ipv4_report(std::span<const std::uint8_t> datagram, const reply_filter& filter);

// Reads one ICMPv6 message (from its first byte) sent by `source`. A Packet
// Too Big about bytes this host added to a probe is this host's own limit:
// it is listed under the probe's source address, with what the MTU leaves
// for the probe.
hop_report make_report(std::span<const std::uint8_t> message,
                       const std::array<std::uint8_t, 16>& source, const reply_filter& filter);

// Text form of an address, without a zone.
std::array<char, INET6_ADDRSTRLEN> address_text(const std::array<std::uint8_t, 16>& address);

#ifdef __linux__
// A classic-BPF socket filter that keeps exactly the messages that
// quotes_probe keeps, reading the same offsets of the ICMPv6 message.
std::vector<sock_filter> reply_program(const reply_filter& filter);
// The same for ipv4_added_bytes, over a raw IPv4 socket's datagrams.
std::vector<sock_filter> ipv4_reply_program(const reply_filter& filter);
#endif

// The raw ICMPv6 socket, or the errno of its failure. It is the one step that
// needs privilege, so it comes first; the failure is reported in its turn.
// It lets nothing through until open_listener sets its type filter, so that
// nothing queues while the host's name is resolved.
struct raw_socket {
    int fd = -1;
    int error = 0;
};
raw_socket open_raw_socket();

// The raw IPv4 socket for ICMP, on Linux, opened with the privilege like the
// raw ICMPv6 socket and letting nothing through yet; -1 where it cannot be
// had, and the tool then does without it.
int open_ipv4_listener();

// Reports a raw socket that could not be opened, or installs its type filter;
// either failure ends the process.
int open_listener(raw_socket raw);

// Where the system can, drops in the kernel every message that does not
// quote a probe, so that errors about other traffic neither wake the tool
// nor crowd its replies out of the queue. Then discards whatever is queued:
// nothing that came before the first probe is a reply. Failures change
// nothing: the match rule still holds.
void keep_only_replies(int listener, const reply_filter& filter);
// The same for the IPv4 listener, where there is one: only "destination
// unreachable" passes its type filter, only a reply its kernel filter.
void keep_only_ipv4_replies(int ipv4_listener, const reply_filter& filter);

// Waits until `deadline`, at most 2 s from now when none is given, in one
// wait on both listeners (-1: none); says which holds a reply.
enum class reply_on { none, icmp6, icmp4 };
reply_on
wait_for_replies(int listener, int ipv4_listener, const reply_filter& filter,
                 std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
bool wait_for_reply(int listener, const reply_filter& filter,
                    std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
hop_report read_reply(int listener, const reply_filter& filter);
hop_report read_ipv4_reply(int ipv4_listener, const reply_filter& filter);
