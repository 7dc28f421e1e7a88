// The two records that cross subsystems: the identity of the probes, which
// every reply must quote, and one ICMPv6 error as the driver sees it.
#pragma once

#include <sys/types.h>
#include <netinet/in.h>

#include <array>
#include <cstdint>

// Addresses in network order; ports in network byte order, compared bytewise.
struct reply_filter {
    std::array<std::uint8_t, 16> local_address{};
    std::array<std::uint8_t, 16> remote_address{};
    std::uint16_t local_port = 0;
    std::uint16_t remote_port = 0;
};

// mtu: the reported MTU for a Packet Too Big, -1 for every other error.
// type and code: kept only for errors other than Packet Too Big and port
// unreachable; zero otherwise.
struct hop_report {
    std::int32_t mtu = 0;
    std::array<char, INET6_ADDRSTRLEN> address{};
    std::uint8_t type = 0;
    std::uint8_t code = 0;
};
