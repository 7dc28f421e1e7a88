// Discovery driver: the command line, the probe loop with its retry budget
// and hop list, and the result line.
#pragma once

#include "probe.h"
#include "records.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

inline constexpr std::int32_t start_size = 1500;
inline constexpr std::int32_t full_budget = 3;
inline constexpr std::size_t max_hops = 32;
// Unanswered probes of one size after which the next one is checked against
// the path MTU the system has learned. One is not enough: a router may
// withhold an error for its rate limit, or a probe may be lost before it.
inline constexpr std::int32_t learned_after = 2;

struct probe_state {
    std::int32_t size = start_size;
    std::int32_t tries_left = full_budget;
    std::array<hop_report, max_hops> hops{};
    std::int32_t hop_count = 0;
    // Passes in a row that nothing answered; any report starts it again.
    std::int32_t unanswered = 0;
    // The size is this host's own encapsulation's limit (IPsec): the
    // routers beyond report about the encapsulated probes to the system
    // alone, so one unanswered probe is enough to ask what it learned.
    bool encapsulated = false;
    // The probes leave through this host's own tunnel: where the underlay's
    // report about one cannot reach the tool, only the system hears of it.
    bool own_tunnel = false;
};

enum class verdict { go_on, stop };

// Lets one report set the size, refill the budget, be listed, or end the loop.
// Does not count the pass; the loop does that for every pass that goes on.
// `encapsulated`: the report is this host's own refusal at its
// encapsulation's limit.
verdict judge_report(probe_state& state, const hop_report& report, bool encapsulated = false);

// A limit of this host's own that does not lower the size tells nothing:
// the system reports its own refusals to itself as well, and a route's
// encapsulation may be counted more than once.
bool known_own_limit(const probe_state& state, const hop_report& report,
                     const reply_filter& filter);

// How the next probe is checked before it leaves: a path that swallows
// probes without a word (this host's own tunnel, whose underlay is narrower)
// shows only in the MTU the system has learned for it.
send_check next_check(const probe_state& state);

// Names of the Destination Unreachable codes; index 5 stands for 5 and up.
inline constexpr std::array<const char*, 6> unreach_names = {"noroute", "admin",  "notneighbor",
                                                             "addr",    "noport", "unknown"};

std::string describe_error(const char* address, std::uint8_t type, std::uint8_t code);
// The hop details: everything between the size figure and the newline.
std::string print_hops(std::span<const hop_report> hops);
std::string result_line(const probe_state& state);

// A report for a probe the local system refused for its size.
hop_report local_report(const reply_filter& filter, std::int32_t mtu);

int run_discovery(int argc, char** argv);
