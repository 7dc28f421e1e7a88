#include "driver.h"

#include "listener.h"
#include "privileges.h"
#include "probe.h"
#include "route.h"
#include "sandbox.h"
#include "startup.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

verdict judge_report(probe_state& state, const hop_report& report, bool encapsulated)
{
    auto append = [&state, &report] {
        if (static_cast<std::size_t>(state.hop_count) < max_hops) {
            state.hops[static_cast<std::size_t>(state.hop_count)] = report;
            ++state.hop_count;
        }
    };
    state.unanswered = 0;
    if (report.mtu > 0) {
        state.size = report.mtu;
        state.tries_left = full_budget;
        state.encapsulated = encapsulated;
        if (report.address[0] != '\0') {
            append();
        }
    } else if (report.mtu == -1) {
        append();
        return verdict::stop;
    }
    // A full list ends probing: nothing is ever written past its last entry.
    return static_cast<std::size_t>(state.hop_count) == max_hops ? verdict::stop : verdict::go_on;
}

bool known_own_limit(const probe_state& state, const hop_report& report, const reply_filter& filter)
{
    return report.mtu >= state.size &&
           std::string_view(report.address.data()) == address_text(filter.local_address).data();
}

send_check next_check(const probe_state& state)
{
    const std::int32_t after = state.encapsulated || state.own_tunnel ? 1 : learned_after;
    return state.unanswered >= after ? send_check::learned_mtu : send_check::device_mtu;
}

std::string describe_error(const char* address, std::uint8_t type, std::uint8_t code)
{
    std::string text = std::string(address) + " ";
    switch (type) {
    case 1:
        text += "unreach-";
        text += unreach_names[code < 6 ? code : 5];
        break;
    case 3:
        text += code == 0 ? "hoplimit" : code == 1 ? "reasm" : "exceeded-unknown";
        break;
    case 4:
        text += "paramprob";
        break;
    default:
        break;
    }
    return text;
}

std::string print_hops(std::span<const hop_report> hops)
{
    if (hops.empty()) {
        return {};
    }
    std::string text = "(";
    for (std::size_t i = 0; i < hops.size(); ++i) {
        const hop_report& hop = hops[i];
        if (hop.address[0] == '\0') {
            continue;
        }
        if (i != 0) {
            text += ", ";
        }
        if (hop.type != 0 || hop.code != 0) {
            text += describe_error(hop.address.data(), hop.type, hop.code);
        } else if (hop.mtu == -1) {
            text += std::string(hop.address.data()) + " reached";
        } else {
            text += std::string(hop.address.data()) + " " + std::to_string(hop.mtu);
        }
    }
    return text + ")";
}

std::string result_line(const probe_state& state)
{
    const std::span<const hop_report> kept(state.hops.data(),
                                           static_cast<std::size_t>(state.hop_count));
    return std::to_string(state.size) + " " + print_hops(kept) + "\n";
}

hop_report local_report(const reply_filter& filter, std::int32_t mtu)
{
    hop_report report{};
    report.mtu = mtu;
    report.address = address_text(filter.local_address);
    return report;
}

namespace {

// A probe that cannot leave this host at its size: the limit it met here
// stands in for a router's Packet Too Big.
std::optional<refusal> local_refusal(int probe_socket, std::int32_t size, send_check check)
{
    const auto limit =
        refused_limit(size, refused_mtu(probe_socket), socket_route_mtu(probe_socket),
                      check == send_check::learned_mtu);
    if (limit && limit->mtu < size) {
        return limit;
    }
    return std::nullopt;
}

}  // namespace

int run_discovery(int argc, char** argv)
{
    open_standard_descriptors();
    ignore_broken_pipe();
    if (argc < 2) {
        fprintf(stderr, "Usage: %s <host>\n", argc > 0 && argv[0] != nullptr ? argv[0] : "pmtu6");
        return 1;
    }
    // Only the raw sockets need privilege: nothing else, the name lookup
    // least of all, runs with it.
    raise_raw_socket_capability();
    const raw_socket raw = open_raw_socket();
    const int ipv4_listener = open_ipv4_listener();
    drop_privileges();
    const int probe_socket = open_probe_socket(argv[1]);
    const bool own_tunnel = honour_configured_mtu(probe_socket);
    const int listener = open_listener(raw);
    const std::unique_ptr<reply_filter> filter(make_reply_filter(probe_socket));
    keep_only_replies(listener, *filter);
    keep_only_ipv4_replies(ipv4_listener, *filter);
    confine(probe_socket, listener, ipv4_listener);

    probe_state state;
    state.own_tunnel = own_tunnel;
    while (state.tries_left > 0) {
        const send_check check = next_check(state);
        std::optional<hop_report> report;
        std::optional<refusal> refused;
        if (send_probe(probe_socket, state.size, check) == send_result::refused_size) {
            refused = local_refusal(probe_socket, state.size, check);
        }
        if (refused) {
            report = local_report(*filter, refused->mtu);
        } else {
            const auto deadline = std::chrono::steady_clock::now() + reply_wait;
            while (!report) {
                const reply_on on = wait_for_replies(listener, ipv4_listener, *filter, deadline);
                if (on == reply_on::none) {
                    break;
                }
                report = on == reply_on::icmp4 ? read_ipv4_reply(ipv4_listener, *filter)
                                               : read_reply(listener, *filter);
                if (known_own_limit(state, *report, *filter)) {
                    report.reset();
                }
            }
        }
        if (!report) {
            ++state.unanswered;
        } else if (judge_report(state, *report, refused && refused->encapsulated) ==
                   verdict::stop) {
            break;
        }
        --state.tries_left;
    }

    const std::string line = result_line(state);
    (void)fwrite(line.data(), 1, line.size(), stdout);
    return 0;
}
