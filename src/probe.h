// Probe sender: the connected UDP socket, the reply filter read from it, and
// probes whose IPv6 packets are exactly the size under test.
#pragma once

#include "records.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <netdb.h>

#include <cstddef>
#include <cstdint>
#include <optional>

// IPv6 header (40) and UDP header (8) that every probe carries.
inline constexpr std::int32_t probe_header_bytes = 48;
// The largest UDP payload an IPv6 packet carries without a jumbogram.
inline constexpr std::size_t max_probe_payload = 65535 - 8;

enum class send_result { sent, refused_size, failed };

// What a probe's size is checked against as it leaves: the device's MTU (and
// the configured MTU that caps the socket), so that every router on the path
// is asked; or also the path MTU the system has learned, which only a path
// that stays silent needs.
enum class send_check { device_mtu, learned_mtu };

// Destination port in network byte order: 32768 plus the low 15 bits of pid.
std::uint16_t probe_port(pid_t pid);

// UDP payload bytes for a probe of `size`; negative when no probe can carry it.
std::int32_t payload_length(std::int32_t size);

// The first IPv6 address of a resolver's answer. IPv4-mapped addresses are
// passed over: an IPv6 socket connected to one sends IPv4.
std::optional<sockaddr_in6> pick_address(const addrinfo* answer);

// The MTU carried by an IPV6_PATHMTU item in a received message's control data.
std::optional<std::int32_t> path_mtu_from_control(const msghdr& message);

int open_probe_socket(const char* host);
reply_filter* make_reply_filter(int probe_socket);
send_result send_probe(int probe_socket, std::int32_t size,
                       send_check check = send_check::device_mtu);

// After a send refused for its size: the MTU of the link the probe would have
// left by, as the system checked it against that send.
std::optional<std::int32_t> refused_mtu(int probe_socket);
