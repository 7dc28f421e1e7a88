// Feeds arbitrary received messages through everything that reads one: the
// match rule, the reading of a report, judging it, and the result line.
// Input: 16 bytes of source address, one byte of choices, then messages, each
// a one-byte length and that many bytes.
#include "driver.h"
#include "listener.h"

#include <cstring>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> input(data, size);
    if (input.size() < 17) {
        return 0;
    }
    std::array<std::uint8_t, 16> source{};
    std::memcpy(source.data(), input.data(), source.size());
    const std::uint8_t choices = input[16];
    input = input.subspan(17);

    probe_state state;
    reply_filter filter;
    bool filter_set = false;
    while (!input.empty()) {
        const std::size_t length = std::min<std::size_t>(input[0], input.size() - 1);
        const auto message = input.subspan(1, length);
        input = input.subspan(1 + length);
        // Half the time the filter is the first message's own quote, so that
        // the paths behind a match are reached too.
        if (!filter_set && (choices & 1U) != 0 && message.size() >= shortest_reply) {
            std::memcpy(filter.local_address.data(), &message[16], 16);
            std::memcpy(filter.remote_address.data(), &message[32], 16);
            std::memcpy(&filter.local_port, &message[48], 2);
            std::memcpy(&filter.remote_port, &message[50], 2);
        }
        filter_set = true;
        const bool matches =
            message.size() >= shortest_reply && quotes_probe(message.subspan(8), filter);
        if (matches || (choices & 2U) != 0) {
            if (judge_report(state, make_report(message, source, filter)) == verdict::stop) {
                break;
            }
        }
        // The same bytes as an ICMP datagram from an IPv4 underlay.
        if (ipv4_added_bytes(message, filter) &&
            judge_report(state, make_ipv4_report(message, filter)) == verdict::stop) {
            break;
        }
    }
    const std::string line = result_line(state);
    if (line.empty() || line.back() != '\n' || line.size() > max_hops * 70 + 16) {
        __builtin_trap();
    }
    return 0;
}
