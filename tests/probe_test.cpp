#include "probe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

TEST(ProbePort, LowFifteenBitsOfPidAbove32768)
{
    const struct {
        pid_t pid;
        std::uint16_t port;
    } cases[] = {
        {5, 32773},     {40000, 40000}, {70000, 37232}, {0, 32768},
        {32767, 65535}, {32768, 32768}, {65535, 65535}, {4194304, 32768},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ntohs(probe_port(c.pid)), c.port) << c.pid;
    }
}

TEST(PayloadLength, PacketIsExactlyTheSize)
{
    const struct {
        std::int32_t size;
        std::int32_t payload;
    } cases[] = {{1500, 1452}, {1280, 1232}, {48, 0}, {47, -1}, {0, -48}, {65575, 65527}};
    for (const auto& c : cases) {
        EXPECT_EQ(payload_length(c.size), c.payload) << c.size;
    }
    EXPECT_EQ(payload_length(65575), static_cast<std::int32_t>(max_probe_payload));
}

}  // namespace
