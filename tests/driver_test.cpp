#include "driver.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

hop_report hop(const char* address, std::int32_t mtu, std::uint8_t type = 0, std::uint8_t code = 0)
{
    hop_report r{};
    r.mtu = mtu;
    std::strncpy(r.address.data(), address, r.address.size() - 1);
    r.type = type;
    r.code = code;
    return r;
}

struct judge_case {
    const char* name;
    std::vector<hop_report> reports;
    std::int32_t size;
    std::int32_t tries_left;
    std::int32_t hop_count;
    verdict last;
};

// Budget as the loop sees it after each report's pass: tries_left is counted
// down only by the loop, so here it shows refills alone.
TEST(JudgeReport, SetsSizeRefillsListsOrEnds)
{
    const judge_case cases[] = {
        {"packet too big", {hop("2001:db8::1", 1280)}, 1280, 3, 1, verdict::go_on},
        {"larger mtu also taken", {hop("2001:db8::1", 9000)}, 9000, 3, 1, verdict::go_on},
        {"below minimum taken", {hop("2001:db8::1", 40)}, 40, 3, 1, verdict::go_on},
        {"empty address not listed", {hop("", 1280)}, 1280, 3, 0, verdict::go_on},
        {"reached ends", {hop("2001:db8::2", -1)}, 1500, 2, 1, verdict::stop},
        {"error ends", {hop("2001:db8::2", -1, 1, 1)}, 1500, 2, 1, verdict::stop},
        {"empty address still ends", {hop("", -1)}, 1500, 2, 1, verdict::stop},
        {"mtu 0 passes", {hop("2001:db8::1", 0)}, 1500, 2, 0, verdict::go_on},
        {"negative passes", {hop("2001:db8::1", INT32_MIN)}, 1500, 2, 0, verdict::go_on},
        {"minus two passes", {hop("2001:db8::1", -2)}, 1500, 2, 0, verdict::go_on},
        {"too big then reached",
         {hop("2001:db8::1", 1400), hop("2001:db8::2", -1)},
         1400,
         3,
         2,
         verdict::stop},
    };
    for (const auto& c : cases) {
        probe_state state;
        state.tries_left = 2;
        verdict v = verdict::go_on;
        for (const auto& r : c.reports) {
            v = judge_report(state, r);
        }
        EXPECT_EQ(state.size, c.size) << c.name;
        EXPECT_EQ(state.tries_left, c.tries_left) << c.name;
        EXPECT_EQ(state.hop_count, c.hop_count) << c.name;
        EXPECT_EQ(v, c.last) << c.name;
    }
}

TEST(JudgeReport, FullListEndsWithoutOverrun)
{
    probe_state state;
    for (int i = 0; i < 31; ++i) {
        ASSERT_EQ(judge_report(state, hop("2001:db8::1", 1400)), verdict::go_on) << i;
    }
    EXPECT_EQ(judge_report(state, hop("2001:db8::1", 1400)), verdict::stop);
    EXPECT_EQ(judge_report(state, hop("2001:db8::9", -1)), verdict::stop);
    EXPECT_EQ(state.hop_count, 32);
    EXPECT_STREQ(state.hops[31].address.data(), "2001:db8::1");
}

// The learned MTU counts only after two unanswered probes; any answer, even
// one that changes nothing, starts the count again.
TEST(NextCheck, LearnedMtuOnlyAfterTwoUnansweredProbes)
{
    probe_state state;
    for (const auto& [unanswered, check] : {std::pair{0, send_check::device_mtu},
                                            {1, send_check::device_mtu},
                                            {2, send_check::learned_mtu},
                                            {3, send_check::learned_mtu}}) {
        state.unanswered = unanswered;
        EXPECT_EQ(next_check(state), check) << unanswered;
    }
    (void)judge_report(state, hop("2001:db8::1", 0));
    EXPECT_EQ(next_check(state), send_check::device_mtu);
    // At this host's own encapsulation's limit, no router can answer: one
    // unanswered probe is enough, until a report sets another size.
    (void)judge_report(state, hop("2001:db8::1", 1466), true);
    state.unanswered = 1;
    EXPECT_EQ(next_check(state), send_check::learned_mtu);
    (void)judge_report(state, hop("2001:db8::7", 1400));
    state.unanswered = 1;
    EXPECT_EQ(next_check(state), send_check::device_mtu);
    // Through this host's own tunnel, whatever the size.
    state.own_tunnel = true;
    EXPECT_EQ(next_check(state), send_check::learned_mtu);
}

// This host's own limit again, or one above the size: nothing new.
TEST(KnownOwnLimit, OnlyOwnReportsThatDoNotLower)
{
    reply_filter filter;
    filter.local_address[15] = 1;  // ::1
    probe_state state;
    state.size = 1460;
    EXPECT_TRUE(known_own_limit(state, hop("::1", 1460), filter));
    EXPECT_TRUE(known_own_limit(state, hop("::1", 1500), filter));
    EXPECT_FALSE(known_own_limit(state, hop("::1", 1360), filter));
    EXPECT_FALSE(known_own_limit(state, hop("::1", -1), filter));
    EXPECT_FALSE(known_own_limit(state, hop("2001:db8::1", 1460), filter));
}

TEST(DescribeError, EveryKeyword)
{
    const struct {
        std::uint8_t type;
        std::uint8_t code;
        const char* text;
    } cases[] = {
        {1, 0, "a unreach-noroute"},
        {1, 1, "a unreach-admin"},
        {1, 2, "a unreach-notneighbor"},
        {1, 3, "a unreach-addr"},
        {1, 4, "a unreach-noport"},
        {1, 5, "a unreach-unknown"},
        {1, 6, "a unreach-unknown"},
        {1, 255, "a unreach-unknown"},
        {3, 0, "a hoplimit"},
        {3, 1, "a reasm"},
        {3, 2, "a exceeded-unknown"},
        {3, 255, "a exceeded-unknown"},
        {4, 0, "a paramprob"},
        {4, 2, "a paramprob"},
        {2, 0, "a "},
        {200, 1, "a "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe_error("a", c.type, c.code), c.text) << int(c.type) << "/" << int(c.code);
    }
}

TEST(ResultLine, WholeLines)
{
    std::vector<hop_report> full(32, hop("2001:db8::1", 1400));
    std::string full_text = "1400 (2001:db8::1 1400";
    for (int i = 1; i < 32; ++i) {
        full_text += ", 2001:db8::1 1400";
    }
    full_text += ")\n";

    const struct {
        const char* name;
        std::int32_t size;
        std::vector<hop_report> hops;
        std::string line;
    } cases[] = {
        {"empty", 1500, {}, "1500 \n"},
        {"reached only", 1500, {hop("2001:db8:ffff::2", -1)}, "1500 (2001:db8:ffff::2 reached)\n"},
        {"too big then reached",
         1280,
         {hop("2001:db8::1", 1280), hop("2001:db8:ffff::2", -1)},
         "1280 (2001:db8::1 1280, 2001:db8:ffff::2 reached)\n"},
        {"two too big",
         1280,
         {hop("2001:db8::1", 1400), hop("2001:db8::7", 1280)},
         "1280 (2001:db8::1 1400, 2001:db8::7 1280)\n"},
        {"error only", 1500, {hop("2001:db8::5", -1, 1, 1)}, "1500 (2001:db8::5 unreach-admin)\n"},
        {"error after too big",
         1400,
         {hop("2001:db8::1", 1400), hop("2001:db8::9", -1, 3, 0)},
         "1400 (2001:db8::1 1400, 2001:db8::9 hoplimit)\n"},
        {"port unreachable never noport", 1500, {hop("h", -1, 0, 0)}, "1500 (h reached)\n"},
        {"last entry without address",
         1280,
         {hop("2001:db8::1", 1280), hop("", -1)},
         "1280 (2001:db8::1 1280)\n"},
        {"only entry without address", 1500, {hop("", -1)}, "1500 ()\n"},
        {"unknown type", 1500, {hop("2001:db8::5", -1, 9, 0)}, "1500 (2001:db8::5 )\n"},
        {"thirty-two entries", 1400, full, full_text},
    };
    for (const auto& c : cases) {
        probe_state state;
        state.size = c.size;
        for (const auto& h : c.hops) {
            state.hops[static_cast<std::size_t>(state.hop_count++)] = h;
        }
        EXPECT_EQ(result_line(state), c.line) << c.name;
    }
}

TEST(LocalReport, NamesTheProbeSocketsOwnAddress)
{
    reply_filter filter;
    ASSERT_EQ(inet_pton(AF_INET6, "2001:db8:1::1", filter.local_address.data()), 1);
    const hop_report r = local_report(filter, 1400);
    EXPECT_EQ(r.mtu, 1400);
    EXPECT_STREQ(r.address.data(), "2001:db8:1::1");
    EXPECT_EQ(r.type, 0);
    EXPECT_EQ(r.code, 0);
}

}  // namespace
