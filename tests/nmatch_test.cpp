// SPDX-License-Identifier: ISC
#include "getif.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>

namespace {

struct in_addr ip(const char *text)
{
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a;
}

TEST(Nmatch, CountsLeadingBitsInCommon)
{
    const struct {
        const char *a, *b;
        int bits;
    } cases[] = {
        {"10.1.2.3", "10.1.2.3", 32},  {"10.1.2.3", "10.1.3.3", 23},
        {"128.0.0.0", "0.0.0.0", 0},   {"192.168.1.1", "192.169.1.1", 15},
        {"10.1.2.3", "10.1.2.64", 25}, {"10.1.2.3", "10.1.2.65", 25},
        {"10.1.2.3", "10.1.2.1", 30},  {"10.1.2.3", "10.1.2.2", 31},
        {"10.0.0.1", "10.128.0.1", 8}, {"10.0.0.1", "11.0.0.1", 7},
        {"0.0.0.0", "0.0.0.1", 31},    {"255.255.255.255", "255.255.255.254", 31},
    };
    for (const auto &c : cases) {
        const struct in_addr a = ip(c.a);
        const struct in_addr b = ip(c.b);
        EXPECT_EQ(nmatch(&a, &b), c.bits) << c.a << " " << c.b;
        EXPECT_EQ(nmatch(&b, &a), c.bits) << c.b << " " << c.a;
    }
}

// Pairs that share a prefix of every length, 0 to 32, against the count of
// leading zeros in the XOR of the two addresses in host order.
TEST(Nmatch, AgreesWithXorFormula)
{
    std::mt19937 rng(20261208);
    for (int i = 0; i < 200000; ++i) {
        const std::uint32_t x = rng() & 0xffffffffU;
        const std::uint32_t y =
            x ^ static_cast<std::uint32_t>(std::uint64_t{rng()} >> (rng() % 33));
        const in_addr a{htonl(x)};
        const in_addr b{htonl(y)};
        ASSERT_EQ(nmatch(&a, &b), std::countl_zero(x ^ y)) << std::hex << x << " " << y;
    }
}

} // namespace
