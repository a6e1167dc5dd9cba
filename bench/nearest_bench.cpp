// SPDX-License-Identifier: ISC
// nearest_bench N: in a network namespace that holds N IPv4 addresses
// 10.X.Y.Z/24 (bench/run makes them with ip -batch), prints one line:
//   N, the first dump (ms), one event applied (us), one lookup (ns), and one
//   getifaddrs() plus a linear choice (ns), as a daemon without the module
//   would do for each lookup, and the allocations per lookup.
// Lookups ask for a mix of destinations: addresses of the host (same), others
// in their subnets (subnet), and others farther off (prefix or none).
#include "nearest.h"
#include "report.h"

#include <arpa/inet.h>
#include <ifaddrs.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

const char *progname = "nearest_bench";
int debug;

namespace {

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::nano>(clock_type::now() - start).count();
}

sockaddr_in v4(std::uint32_t host_order)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(host_order);
    return sin;
}

// The address that bench/run gave the i-th place: 10.0.0.1 and on.
std::uint32_t nth(long i)
{
    return 0x0a000000U + static_cast<std::uint32_t>(i + 1);
}

int common(std::uint32_t a, std::uint32_t b)
{
    const std::uint32_t x = a ^ b;
    return x == 0 ? 32 : __builtin_clz(x);
}

// What a daemon does without the module: ask for every address, then choose
// the one with the most leading bits in common, at least 8.
bool linear(std::uint32_t to)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    int best = 7;
    const ifaddrs *found = nullptr;
    for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in sin{};
        std::memcpy(&sin, i->ifa_addr, sizeof sin);
        const int n = common(ntohl(sin.sin_addr.s_addr), to);
        if (n > best) {
            best = n;
            found = i;
        }
    }
    freeifaddrs(list);
    return found != nullptr;
}

double median(std::vector<double> v)
{
    std::ranges::sort(v);
    return v[v.size() / 2];
}

// Events: add and delete a batch of addresses with ip, then time the update
// that applies them. The batch is small enough for the socket's queue.
double per_event(long n)
{
    constexpr int batch = 100;
    std::vector<double> each;
    for (int round = 0; round < 10; ++round) {
        for (const char *verb : {"add", "del"}) {
            std::string cmds;
            for (int i = 0; i < batch; ++i)
                cmds += std::string("addr ") + verb + " 10.250." + std::to_string(i / 200) + "." +
                        std::to_string((i % 200) + 1) + "/32 dev b0\n";
            FILE *ip = popen("ip -batch -", "w"); // NOLINT(cert-env33-c): ip is what we want
            if (ip == nullptr)
                std::exit(1);
            std::fputs(cmds.c_str(), ip);
            pclose(ip);
            const auto start = clock_type::now();
            nearest_update();
            each.push_back(since(start) / batch);
        }
    }
    (void)n;
    return median(each);
}

} // namespace

// cppcheck-suppress constParameter
int main(int argc, char *argv[])
{
    const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10;
    std::vector<double> dumps;
    for (int i = 0; i < 5; ++i) {
        const auto start = clock_type::now();
        if (nearest_open() < 0)
            return 1;
        dumps.push_back(since(start) / 1e6);
    }

    std::vector<sockaddr_in> to;
    std::minstd_rand draw(7); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same every run
    for (int i = 0; i < 1024; ++i) {
        const std::uint32_t a = nth(static_cast<long>(draw() % static_cast<unsigned long>(n)));
        to.push_back(v4(i % 3 == 0 ? a : i % 3 == 1 ? a ^ 0x80U : a ^ 0x00ff0000U));
    }
    const long lookups = 4000000;
    long found = 0;
    const auto start = clock_type::now();
    for (long i = 0; i < lookups; ++i)
        found += nearest_find(reinterpret_cast<const sockaddr *>(&to[i & 1023]), nullptr) != nullptr
                     ? 1
                     : 0;
    const double lookup = since(start) / static_cast<double>(lookups);

    const long slow = n >= 100000 ? 5 : n >= 1000 ? 200 : 20000;
    const auto slow_start = clock_type::now();
    for (long i = 0; i < slow; ++i)
        found += linear(ntohl(to[i & 1023].sin_addr.s_addr)) ? 1 : 0;
    const double classic = since(slow_start) / static_cast<double>(slow);

    const double event = per_event(n);
    std::printf("%ld %.2f %.2f %.1f %.0f %ld\n", n, median(dumps), event / 1000, lookup, classic,
                found);
    return 0;
}
