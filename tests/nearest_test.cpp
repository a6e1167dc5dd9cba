// SPDX-License-Identifier: ISC
// The nearest table against the real kernel in private namespaces, with the
// kernel as the oracle: for each destination, nearest_probe asks
// `ip route get` too and prints a difference when the two disagree. Named
// cases give the expected reasons; random hosts, each drawn from its number, look
// for the differences no one thought of. The dumps are counted with strace.
#include "nearest.h"
#include "nearest_state.h"
#include "sandbox.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Runs nearest_probe with the steps after setup; traced, it ends with the
// number of address dumps that strace saw.
Outcome probe(const std::string &setup, const std::vector<std::string> &steps, bool traced)
{
    return run(Sandbox{}, [&] {
        shell(("set -e; " + setup).c_str());
        std::vector<std::string> argv{NEAREST_PROBE};
        argv.insert(argv.end(), steps.begin(), steps.end());
        if (!traced)
            execute(NEAREST_PROBE, argv);
        char trace[] = "/tmp/nearest-trace.XXXXXX";
        close(mkstemp(trace));
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1); // LeakSanitizer cannot run under ptrace
        argv.insert(argv.begin(), {"strace", "-qq", "-e", "trace=sendto", "-o", trace});
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0)
            execute("strace", argv);
        int ws = 0;
        waitpid(pid, &ws, 0);
        std::ifstream lines(trace);
        int dumps = 0;
        for (std::string line; std::getline(lines, line);)
            dumps += line.find("RTM_GETADDR") != std::string::npos ? 1 : 0;
        std::printf("exit %d, %d dumps\n", WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, dumps);
        unlink(trace);
    });
}

// Bridges made and set up, as "ip link add ...; ip link set ... up".
std::string bridges(const std::vector<std::string> &names)
{
    std::string cmds = "ip link set lo up; ";
    for (const std::string &n : names)
        cmds.append("ip link add ")
            .append(n)
            .append(" type bridge; ip link set ")
            .append(n)
            .append(" up; ");
    return cmds;
}

// A laptop: Wi-Fi with both families and default routes, docker, a
// WireGuard address, a route behind a second router, a blackhole. IPv6
// announces a nodad address, and its local route, from a work queue.
const std::string laptop =
    bridges({"wlan0", "docker0", "wg0"}) +
    "ip addr add 192.168.1.23/24 dev wlan0; ip addr add 2001:db8:1::23/64 dev wlan0 nodad; "
    "ip addr add 172.17.0.1/16 dev docker0; ip addr add 10.8.0.2/32 dev wg0; "
    "ip route add 10.8.0.0/24 dev wg0; ip route add default via 192.168.1.1; "
    "ip -6 route add default via 2001:db8:1::1; ip route add 10.20.0.0/16 via 192.168.1.254; "
    "ip route add blackhole 198.51.100.0/24; sleep 0.2; ";

// wg-quick's full tunnel on top of it.
const std::string tunnel =
    laptop +
    "ip addr add fd00:8::2/128 dev wg0 nodad; for f in -4 -6; do "
    "ip $f route add default dev wg0 table 51820; ip $f rule add not fwmark 51820 table 51820; "
    "ip $f rule add table main suppress_prefixlength 0; done; sleep 0.2; ";

// Two links and nexthop objects over them, as a routing daemon installs
// them: one through a gateway, a group of two, an IPv6 one.
const std::string objects =
    bridges({"b0", "b1"}) +
    "ip addr add 10.1.0.5/24 dev b1; ip addr add 10.2.0.5/24 dev b0; "
    "ip addr add 2001:db8:1::5/64 dev b1 nodad; ip addr add 2001:db8:2::5/64 dev b0 nodad; "
    "ip nexthop add id 5 via 10.1.0.1 dev b1; ip nexthop add id 6 via 10.1.0.9 dev b1; "
    "ip nexthop add id 7 group 5/6; ip route add 100.64.0.0/10 nhid 5; "
    "ip route add 198.18.0.0/15 nhid 7; ip nexthop add id 20 via 2001:db8:1::1 dev b1; "
    "ip -6 route add 2001:db8:98::/48 nhid 20; sleep 0.2; ";

// Object 5 moved to b0 then deleted, its group left with 6 alone; b1 set
// down and up again, which takes 6, the group and their routes, without a word.
const std::vector<std::string> replaced = {"+ip nexthop replace id 5 via 10.2.0.1 dev b0",
                                           "update",
                                           "100.64.1.1",
                                           "+ip nexthop del id 5",
                                           "update",
                                           "100.64.1.1",
                                           "198.18.1.1",
                                           "+ip link set b1 down; ip link set b1 up",
                                           "update",
                                           "198.18.1.1",
                                           "2001:db8:98::1"};
const char *const replaced_out =
    "100.64.1.1 route\n100.64.1.1 none\n198.18.1.1 route\n198.18.1.1 none\n2001:db8:98::1 none\n";

using Nearest = Namespaces;

// Makes the neighbour entry of gateway on device dev fail: valid first, so
// that the change to failed is told (a new entry made failed is not).
std::string fail_neighbour(const char *gateway, const char *dev)
{
    return std::string("ip neigh replace ") + gateway + " dev " + dev +
           " lladdr 02:00:00:00:00:01 nud reachable; ip neigh replace " + gateway + " dev " + dev +
           " nud failed; ";
}

TEST_F(Nearest, AnswersAsTheKernelRoutes)
{
    const struct {
        const char *what;
        std::string setup;
        std::vector<std::string> to;
        const char *out;
        const char *err = "";
    } cases[] = {
        {"a laptop: behind routers, on-link, itself, a blackhole, a mapped address",
         laptop,
         {"8.8.8.8", "2606:4700::1111", "10.20.3.4", "100.64.1.1", "10.8.0.1", "172.17.0.5",
          "192.168.1.50", "192.168.1.23", "198.51.100.7", "::ffff:8.8.8.8", "fe80::1", "0.0.0.0"},
         "8.8.8.8 route\n2606:4700::1111 route\n10.20.3.4 route\n100.64.1.1 route\n"
         "10.8.0.1 route\n172.17.0.5 subnet\n192.168.1.50 subnet\n192.168.1.23 same\n"
         "198.51.100.7 unreachable\n::ffff:8.8.8.8 route\nfe80::1 scope\n0.0.0.0 same\n"},
        {"a longer prefix that cannot answer, the default route behind it; a multipath route; a "
         "second primary added; a device deleted that is not the last",
         laptop + "ip link add b1 type bridge; ip link set b1 up; ip addr add 10.66.0.1/24 dev b1; "
                  "ip route add 10.55.0.0/16 dev docker0 tos 0x10; ip route add 10.77.0.0/16 "
                  "nexthop via 172.17.0.8 dev docker0 nexthop via 172.17.0.9 dev docker0; ",
         {"10.55.1.1", "10.77.1.1",
          "+ip addr add 10.2.0.5/16 dev docker0; ip route add 10.99.0.0/16 dev docker0", "update",
          "10.99.1.1", "+ip link del docker0", "update", "10.66.0.9", "10.8.0.1"},
         "10.55.1.1 route\n10.77.1.1 route\n10.99.1.1 route\n10.66.0.9 subnet\n10.8.0.1 route\n"},
        {"wg-quick's full tunnel: not fwmark, suppress_prefixlength 0",
         tunnel,
         {"8.8.8.8", "2606:4700::1111", "192.168.1.50", "10.20.3.4", "198.51.100.7",
          "2001:db8:1::5", "fd00:8::1"},
         "8.8.8.8 route\n2606:4700::1111 route\n192.168.1.50 subnet\n10.20.3.4 route\n"
         "198.51.100.7 unreachable\n2001:db8:1::5 subnet\nfd00:8::1 route\n"},
        {"Tailscale's rules: fwmarks that a query lacks, a goto, a table of its own",
         laptop + "ip link add ts0 type bridge; ip link set ts0 up; "
                  "ip addr add 100.101.102.103/32 dev ts0; "
                  "ip route add 100.64.0.0/10 dev ts0 table 52; "
                  "ip rule add pref 5210 fwmark 0x80000/0xff0000 lookup main; "
                  "ip rule add pref 5250 fwmark 0x80000/0xff0000 unreachable; "
                  "ip rule add pref 5260 goto 5270; ip rule add pref 5265 unreachable; "
                  "ip rule add pref 5270 lookup 52; ",
         {"100.64.1.1", "8.8.8.8", "100.101.102.103"},
         "100.64.1.1 route\n8.8.8.8 route\n100.101.102.103 same\n"},
        {"metrics, and the longest prefix before the lowest metric",
         laptop + "ip route add 10.30.0.0/16 via 192.168.1.2 metric 100; "
                  "ip route add 10.30.0.0/16 dev docker0 metric 50; "
                  "ip route add 10.30.1.0/24 dev wg0 metric 900; ",
         {"10.30.2.2", "10.30.1.1", "+ip route del 10.30.0.0/16 dev docker0 metric 50", "update",
          "10.30.2.2"},
         "10.30.2.2 route\n10.30.1.1 route\n10.30.2.2 route\n"},
        {"preferred sources, and a gateway's subnet before the first address",
         laptop + "ip route add 10.40.0.0/16 via 192.168.1.1 src 172.17.0.1; "
                  "ip addr add 10.50.0.1/24 dev docker0; ip route add 10.60.0.0/16 via 10.50.0.9; ",
         {"10.40.1.1", "10.60.1.1"},
         "10.40.1.1 route\n10.60.1.1 route\n"},
        {"reject and throw routes, in main and in a table of a rule's",
         laptop +
             "ip route add unreachable 10.70.0.0/16 table 100; ip rule add pref 100 lookup 100; "
             "ip route add prohibit 10.71.0.0/16 table 100; ip route add throw 10.72.0.0/16 table "
             "100; "
             "ip route add default dev docker0 table 100; ",
         {"10.70.0.1", "10.71.0.1", "10.72.0.1", "9.9.9.9"},
         "10.70.0.1 unreachable\n10.71.0.1 unreachable\n10.72.0.1 route\n9.9.9.9 route\n"},
        {"selectors a query without source, mark, protocol or device does not meet, and lo",
         laptop +
             "ip route add default dev docker0 table 100; "
             "ip rule add pref 100 from 192.168.1.0/24 lookup 100; "
             "ip rule add pref 101 ipproto 6 lookup 100; "
             "ip rule add pref 102 oif wlan0 lookup 100; ip rule add pref 103 tos 0x10 lookup 100; "
             "ip rule add pref 104 dport 53 lookup 100; ",
         {"8.8.8.8", "+ip rule add pref 105 iif lo to 8.8.0.0/16 lookup 100", "update", "8.8.8.8",
          "+ip rule add pref 99 from 0.0.0.0/1 to 8.8.0.0/16 prohibit", "update", "8.8.8.8"},
         "8.8.8.8 route\n8.8.8.8 route\n8.8.8.8 unreachable\n"},
        {"IPv6 sources: deprecated last, two prefixes on a device, the longest match, a "
         "link-local source for a link-local destination",
         bridges({"b0", "b1"}) + "ip addr add 2001:db8:a::1/64 dev b0 nodad; ip addr add "
                                 "2001:db8:b::1/64 dev b0 nodad; ip addr add fe80::1/64 dev b0 "
                                 "nodad; "
                                 "ip addr add 2001:db8:d::1/64 dev b1 nodad preferred_lft 0; "
                                 "ip addr add 2001:db8:e::1/48 dev b1 nodad; sleep 0.2; "
                                 "ip -6 route add default via 2001:db8:a::ffff; ",
         {"2001:db8:b::99", "2001:db8:c::1", "2001:db8:d::5", "2001:db8:e:1::1", "2001:db8:b::1",
          "fe80::9%b0", "fe80::9 oif b0"},
         "2001:db8:b::99 subnet\n2001:db8:c::1 route\n2001:db8:d::5 subnet\n"
         "2001:db8:e:1::1 subnet\n2001:db8:b::1 same\nfe80::9%b0 subnet\nfe80::9 oif b0 subnet\n"},
        {"multipath members the kernel picks every time: the one whose own source is the "
         "packet's (IPv4), the first member's source through a group (IPv6)",
         bridges({"b0", "b1"}) +
             "ip addr add 10.0.0.5/16 dev b0; ip addr add 10.1.0.5/16 dev b1; "
             "ip addr add 10.1.0.6/16 dev b1; ip addr add 2001:db8::5/64 dev b0 nodad; "
             "ip addr add 2001:db8:1::5/64 dev b1 nodad; sleep 0.2; "
             "ip route add 198.51.100.0/24 nexthop via 10.0.0.1 dev b0 nexthop via 10.1.0.1 dev b1; "
             "ip route add 198.51.101.0/24 src 10.0.0.5 nexthop via 10.0.0.1 dev b0 nexthop via "
             "10.1.0.1 dev b1; ip nexthop add id 1 via 2001:db8::1 dev b0; "
             "ip nexthop add id 2 via 2001:db8:1::1 dev b1; ip nexthop add id 10 group 1/2; "
             "ip -6 route add 2001:db8:9::/48 nhid 10; ",
         {"198.51.100.7 from 10.1.0.5", "198.51.100.7 from 10.0.0.5", "198.51.101.7 from 10.1.0.5",
          "198.51.100.7 from 10.1.0.5 oif b0", "2001:db8:9::7 oif b1"},
         "198.51.100.7 from 10.1.0.5 route\n198.51.100.7 from 10.0.0.5 route\n"
         "198.51.101.7 from 10.1.0.5 route\n198.51.100.7 from 10.1.0.5 oif b0 route\n"
         "2001:db8:9::7 oif b1 route\n"},
        {"gateways whose neighbour entry failed: passed over by a group always, by a list of "
         "IPv4 nexthops once the namespace says so, the packet's own source or not; dumped, "
         "then as they change",
         bridges({"b0", "b1"}) +
             "ip addr add 10.0.0.5/16 dev b0; ip addr add 10.1.0.5/16 dev b1; "
             "ip addr add 2001:db8::5/64 dev b0 nodad; ip addr add 2001:db8:1::5/64 dev b1 nodad; "
             "sleep 0.2; "
             "ip route add 198.51.100.0/24 nexthop via 10.0.0.1 dev b0 nexthop via 10.1.0.1 dev b1; "
             "ip nexthop add id 1 via 10.0.0.1 dev b0; ip nexthop add id 2 via 10.1.0.1 dev b1; "
             "ip nexthop add id 10 group 1/2; ip route add 198.18.0.0/24 nhid 10; "
             "ip nexthop add id 3 via 2001:db8::1 dev b0; "
             "ip nexthop add id 4 via 2001:db8:1::1 dev b1; ip nexthop add id 11 group 3/4; "
             "ip -6 route add 2001:db8:9::/48 nhid 11; " +
             fail_neighbour("10.0.0.1", "b0") + fail_neighbour("2001:db8::1", "b0"),
         {"198.18.0.7", "2001:db8:9::7", "+sysctl -qw net.ipv4.fib_multipath_use_neigh=1",
          "update", "198.51.100.7", "198.51.100.7 from 10.0.0.5",
          "+" + fail_neighbour("10.1.0.1", "b1") +
              "ip neigh replace 10.0.0.1 dev b0 lladdr 02:00:00:00:00:01 nud reachable",
          "update", "198.51.100.7", "198.18.0.7"},
         "198.18.0.7 route\n2001:db8:9::7 route\n198.51.100.7 route\n"
         "198.51.100.7 from 10.0.0.5 route\n198.51.100.7 route\n198.18.0.7 route\n"},
        {"a device down and up: its IPv4 routes go silently, its addresses stay local",
         laptop + "ip route add 10.80.0.0/16 via 172.17.0.9; "
                  "ip route add 10.80.0.0/16 via 172.17.0.8 metric 5; ",
         {"+ip link set docker0 down", "update", "172.17.0.5", "172.17.0.1", "10.80.0.1",
          "+ip link set docker0 up", "update", "172.17.0.5", "10.80.0.1",
          "+ip addr del 172.17.0.1/16 dev docker0; ip addr add 172.17.0.1/16 dev docker0", "update",
          "172.17.0.5"},
         "172.17.0.5 route\n172.17.0.1 same\n10.80.0.1 route\n172.17.0.5 subnet\n10.80.0.1 route\n"
         "172.17.0.5 subnet\n"},
        {"nexthop objects: one, a group, with weights, a blackhole, in a table a rule chooses, "
         "IPv6 ones and a group, an IPv4 route through an IPv6 gateway, a resilient group",
         objects +
             "ip nexthop add id 9 via 10.1.0.7 dev b1; ip nexthop add id 10 group 6,3/9,200; "
             "ip route add 198.51.100.0/24 nhid 10; ip nexthop add id 11 blackhole; "
             "ip route add 192.0.2.0/24 nhid 11; ip nexthop add id 8 via 10.2.0.1 dev b0; "
             "ip route add default nhid 8 table 100; ip rule add pref 100 to 9.9.9.0/24 table 100; "
             "ip nexthop add id 21 via 2001:db8:1::2 dev b1; ip nexthop add id 22 group 20/21; "
             "ip -6 route add 2001:db8:99::/48 nhid 22; ip route add 203.0.113.0/24 nhid 20; "
             "ip nexthop add id 12 group 6/9 type resilient buckets 8; "
             "ip route add 203.0.114.0/24 nhid 12; ",
         {"100.64.1.1", "198.18.1.1", "198.51.100.1", "192.0.2.1", "9.9.9.9", "8.8.8.8",
          "2001:db8:98::1", "2001:db8:99::1", "203.0.113.1", "203.0.114.1"},
         "100.64.1.1 route\n198.18.1.1 route\n198.51.100.1 route\n192.0.2.1 unreachable\n"
         "9.9.9.9 route\n8.8.8.8 none\n2001:db8:98::1 route\n2001:db8:99::1 route\n"
         "203.0.113.1 route\n203.0.114.1 route\n"},
        {"nexthop objects replaced, deleted, and a device set down under a group, with the "
         "kernel's route messages",
         objects, replaced, replaced_out},
        {"the same without them (nexthop_compat_mode 0)",
         objects + "sysctl -qw net.ipv4.nexthop_compat_mode=0; ", replaced, replaced_out},
        {"both members of a group replaced: its routes follow them",
         objects,
         {"+ip nexthop replace id 5 via 10.2.0.1 dev b0; ip nexthop replace id 6 via 10.2.0.9 dev b0",
          "update", "198.18.1.1"},
         "198.18.1.1 route\n"},
        {"the same for a group dumped before its members, of higher ids",
         objects + "ip nexthop add id 50 via 10.1.0.1 dev b1; ip nexthop add id 60 via 10.1.0.9 dev "
                   "b1; ip nexthop add id 3 group 50/60; ip route add 198.20.0.0/16 nhid 3; ",
         {"+ip nexthop replace id 50 via 10.2.0.1 dev b0; ip nexthop replace id 60 via 10.2.0.9 "
          "dev b0",
          "update", "198.20.1.1"},
         "198.20.1.1 route\n"},
        {"an address deleted: IPv6 routes that named it choose anew, but through objects; IPv4 "
         "routes of main that named it go, of other tables stay",
         objects +
             "ip addr add 2001:db8:1::6/64 dev b1 nodad; ip addr add 10.1.0.6/24 dev b1; "
             "ip -6 route add 2001:db8:9::/48 via 2001:db8:1::1 src 2001:db8:1::6; "
             "ip -6 route add 2001:db8:5::/48 nhid 20 src 2001:db8:1::6; "
             "ip route add 10.9.0.0/16 via 10.1.0.1 src 10.1.0.6; ip route add 10.7.0.0/16 via "
             "10.1.0.1 src 10.1.0.6 table 100; ip rule add pref 100 to 10.7.0.0/16 table 100; ",
         {"+ip addr del 2001:db8:1::6/64 dev b1; ip addr del 10.1.0.6/24 dev b1", "update",
          "2001:db8:9::1", "2001:db8:5::1", "10.9.0.1", "10.7.0.1"},
         "2001:db8:9::1 route\n2001:db8:5::1 route\n10.9.0.1 none\n10.7.0.1 route\n"},
        {"two namespaces in one process, each answered as ip -n answers, while both change",
         laptop +
             "mount -t tmpfs tmpfs /run; ip netns add c1; ip -n c1 link set lo up; "
             "ip -n c1 link add eth0 type bridge; ip -n c1 link set eth0 up; "
             "ip -n c1 addr add 10.88.0.2/24 dev eth0; ip -n c1 route add default via 10.88.0.1; ",
         {"8.8.8.8", "@c1", "8.8.8.8", "192.168.1.50",
          "+ip -n c1 route add 192.168.0.0/16 via 10.88.0.9; ip route del default", "update",
          "192.168.1.50", "8.8.8.8", "@", "update", "8.8.8.8", "192.168.1.50"},
         "8.8.8.8 route\n8.8.8.8 route\n192.168.1.50 route\n192.168.1.50 route\n8.8.8.8 route\n"
         "8.8.8.8 none\n192.168.1.50 subnet\n"},
        {"IPv6 routes from a source prefix: a prefix that has some passes over its own plain "
         "routes for a source they do not hold",
         bridges({"b0", "b1", "b2"}) +
             "ip addr add 2001:db8:1::5/64 dev b0 nodad; ip addr add 2001:db8:2::5/64 dev b1 "
             "nodad; "
             "ip -6 route add default via 2001:db8:1::1; ip -6 route add 2001:db8:7::/48 dev b2; "
             "ip -6 route add 2001:db8:7::/48 from 2001:db8:2::/64 dev b1; "
             "ip -6 route add 2001:db8:7:1::/64 from 2001:db8:2::/48 dev b0; sleep 0.2; ",
         {"2001:db8:7::1", "2001:db8:7::1 from 2001:db8:2::5", "2001:db8:7::1 from 2001:db8:9::9",
          "2001:db8:7:1::1 from 2001:db8:2:1::1",
          "+ip -6 route del 2001:db8:7::/48 from 2001:db8:2::/64 dev b1", "update",
          "2001:db8:7::1"},
         "2001:db8:7::1 route\n2001:db8:7::1 from 2001:db8:2::5 route\n"
         "2001:db8:7::1 from 2001:db8:9::9 route\n2001:db8:7:1::1 from 2001:db8:2:1::1 route\n"
         "2001:db8:7::1 route\n"},
        {"a rule added and removed",
         laptop,
         {"+ip rule add pref 10 to 8.8.8.0/24 blackhole", "update", "8.8.8.8",
          "+ip rule del pref 10", "update", "8.8.8.8"},
         "8.8.8.8 unreachable\n8.8.8.8 route\n"},
    };
    for (const auto &c : cases) {
        const Outcome o = probe(c.setup, c.to, false);
        EXPECT_EQ(o.out, c.out) << c.what;
        EXPECT_EQ(o.err, c.err) << c.what;
        EXPECT_EQ(o.status, 0) << c.what;
    }
}

TEST_F(Nearest, FollowsTheKernel)
{
    const std::string b0 = bridges({"b0"}) + "ip addr add 10.1.2.3/24 dev b0";
    const struct {
        const char *what;
        std::string setup;
        std::vector<std::string> steps;
        const char *out;
        const char *err = "";
    } cases[] = {
        {"100 changes cost no dump",
         b0,
         {"+for i in $(seq 100); do echo route add 10.7.$i.0/24 via 10.1.2.$i; done | ip -batch -",
          "update", "10.7.100.1"},
         "10.7.100.1 route\nexit 0, 1 dumps\n"},
        {"an overflow while stopped costs one dump",
         b0,
         {"stopped:for i in $(seq 20000); do echo route add 10.8.$((i / 256)).$((i % 256))/32 dev "
          "b0; done | ip -batch -",
          "update", "10.8.19.136"},
         "10.8.19.136 route\nexit 0, 2 dumps\n"},
        {"a dump that fails during the reload after an overflow is a failure",
         b0,
         {"stopped:for i in $(seq 20000); do echo route add 10.8.$((i / 256)).$((i % 256))/32 dev "
          "b0; done | ip -batch -",
          "nosend", "update"},
         "exit 1, 1 dumps\n",
         "nearest_probe: error(3):  netlink dump: Operation not permitted\n"},
    };
    for (const auto &c : cases) {
        const Outcome o = probe(c.setup, c.steps, true);
        EXPECT_EQ(o.out, c.out) << c.what;
        EXPECT_EQ(o.err, c.err) << c.what;
    }
}

// The answers for 10.50.1.1, whose route flips between two gateways on two
// devices with two sources, and for 10.51.1.1, whose route goes through a
// nexthop object that flips likewise, while several threads look up and the
// updater applies thousands of other events (devices, addresses, routes that
// grow the arrays): each answer whole, one of the two, never a mix.
TEST_F(Nearest, ThreadsSeeEachEventWhole)
{
    const Outcome o = run(Sandbox{}, [] {
        shell(("set -e; " + bridges({"b0", "b1"}) +
               "ip addr add 10.1.0.5/24 dev b0; ip addr add 10.2.0.5/24 dev b1; "
               "ip route add 10.50.0.0/16 via 10.1.0.1; ip nexthop add id 1 via 10.1.0.1 dev b0; "
               "ip route add 10.51.0.0/16 nhid 1")
                  .c_str());
        std::string events;
        for (int i = 0; i < 3000; ++i) {
            const char *gw = i % 2 == 0 ? "10.2.0.1" : "10.1.0.1";
            events.append("route replace 10.50.0.0/16 via ")
                .append(gw)
                .append("\nnexthop replace id 1 via ")
                .append(gw)
                .append(i % 2 == 0 ? " dev b1" : " dev b0")
                .append("\nroute add 10.60.")
                .append(std::to_string(i / 256) + "." + std::to_string(i % 256))
                .append("/32 dev b0\n");
            if (i % 100 == 0) // a device that comes and goes, with an address
                events += "link add d" + std::to_string(i) + " type bridge\naddr add 10.70." +
                          std::to_string(i / 100) + ".1/24 dev d" + std::to_string(i) +
                          "\nlink del d" + std::to_string(i) + "\n";
        }
        char path[] = "/tmp/nearest-events.XXXXXX";
        const int fd = mkstemp(path);
        if (write(fd, events.data(), events.size()) != static_cast<ssize_t>(events.size()))
            _exit(1);
        close(fd);
        nearest_table *t = nearest_table_open(-1);
        if (t == nullptr)
            _exit(1);
        // The ip child waits for a byte, so that it is forked before the threads.
        int go[2];
        if (pipe(go) != 0)
            _exit(1);
        const pid_t ip = fork();
        if (ip == 0) {
            char c;
            close(go[1]);
            if (read(go[0], &c, 1) != 1)
                _exit(1);
            execute("ip", {"ip", "-batch", path});
        }
        close(go[0]);
        std::atomic<bool> done{false};
        std::atomic<long> mixed{0};
        std::atomic<long> asked{0};
        const auto reader = [&] {
            nearest_query q[2]{};
            for (nearest_query &one : q)
                one.to.v4.sin_family = AF_INET;
            inet_pton(AF_INET, "10.50.1.1", &q[0].to.v4.sin_addr);
            inet_pton(AF_INET, "10.51.1.1", &q[1].to.v4.sin_addr);
            char a[2][INET_ADDRSTRLEN];
            for (long n = 0; !done.load(); ++n) {
                nearest r{};
                const int code = nearest_table_find(t, &q[n % 2], &r);
                inet_ntop(AF_INET, &r.addr, a[0], sizeof a[0]);
                inet_ntop(AF_INET, &r.gateway, a[1], sizeof a[1]);
                const std::string got = std::string(r.name) + " " + a[0] + " " + a[1];
                if (code != NEAREST_FOUND ||
                    (got != "b0 10.1.0.5 10.1.0.1" && got != "b1 10.2.0.5 10.2.0.1"))
                    mixed.fetch_add(1);
                asked.fetch_add(1);
            }
        };
        std::vector<std::thread> readers;
        readers.reserve(3);
        for (int i = 0; i < 3; ++i)
            readers.emplace_back(reader);
        if (write(go[1], "x", 1) != 1)
            _exit(1);
        int ws = 0;
        while (waitpid(ip, &ws, WNOHANG) == 0) {
            pollfd p{nearest_table_fd(t), POLLIN, 0};
            (void)poll(&p, 1, 10);
            if (nearest_table_update(t) < 0)
                _exit(1);
        }
        (void)nearest_table_update(t);
        done.store(true);
        for (std::thread &r : readers)
            r.join();
        unlink(path);
        std::atomic<int> also{0}; // two checks at once share nothing
        std::thread second([&] { also.store(nearest_table_valid(t)); });
        const bool valid = nearest_table_valid(t) != 0;
        second.join();
        std::printf("%s, %ld mixed, %s\n", asked.load() > 1000 ? "asked" : "hardly asked",
                    mixed.load(), valid && also.load() != 0 ? "valid" : "invalid");
        nearest_table_close(t);
    });
    EXPECT_EQ(o.out, "asked, 0 mixed, valid\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 0);
}

// Random host number n: bridges with addresses of both families,
// routes of every kind in main and two other tables, rules; then the
// destinations asked, a series of changes, and the same destinations again.
struct Host {
    std::string setup;
    std::vector<std::string> steps;
};

class Draw {
  public:
    explicit Draw(unsigned n) : draw(n)
    {
    }
    int pick(int n)
    {
        return static_cast<int>(draw() % static_cast<unsigned>(n));
    }

    // An address of 10.0.0.0/14 (IPv4) or fd00::/30 (IPv6) near those drawn
    // before, with its host part cleared beyond len.
    std::string v4(int len)
    {
        std::uint32_t a = (10U << 24) | (draw() % (4U << 16)) | (draw() & 0xc0ff);
        if (!seen4.empty() && pick(2) == 0)
            a = seen4[static_cast<std::size_t>(pick(static_cast<int>(seen4.size())))] ^
                (pick(3) == 0 ? 0 : draw() & 0x1ff);
        seen4.push_back(a);
        a &= len == 0 ? 0 : ~0U << (32 - len);
        return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
               std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
    }
    std::string v6(int len)
    {
        int g[8] = {0xfd00, pick(4), pick(3), 0, 0, 0, 0, 1 + pick(200)};
        if (!seen6.empty() && pick(2) == 0) {
            const auto i = static_cast<std::size_t>(pick(static_cast<int>(seen6.size() / 8))) * 8;
            std::copy_n(seen6.begin() + static_cast<std::ptrdiff_t>(i), 8, g);
            g[7] ^= pick(3) == 0 ? 0 : pick(16);
        }
        seen6.insert(seen6.end(), g, g + 8);
        std::string t;
        for (int i = 0; i < 8; ++i) {
            char group[8];
            std::snprintf(group, sizeof group, "%s%x", i > 0 ? ":" : "", i * 16 < len ? g[i] : 0);
            t += group;
        }
        return t;
    }

  private:
    std::mt19937 draw;
    std::vector<std::uint32_t> seen4;
    std::vector<int> seen6;
};

Host random_host(unsigned n)
{
    Draw d(n);
    const int ndev = 2 + d.pick(3);
    std::vector<std::string> devs;
    devs.reserve(static_cast<std::size_t>(ndev));
    for (int i = 0; i < ndev; ++i)
        devs.push_back(std::string(1, 'r').append(std::to_string(i)));
    const auto dev = [&] { return devs[static_cast<std::size_t>(d.pick(ndev))]; };
    std::string four;
    std::string six;
    std::vector<std::string> mine[2]; // the host's addresses, of each family
    for (int i = 0; i < 3 + d.pick(6); ++i) {
        mine[0].push_back(d.v4(32));
        four += "addr add " + mine[0].back() + "/" + std::to_string(8 + (d.pick(5) * 5)) + " dev " +
                dev() + (d.pick(4) == 0 ? " scope link\n" : "\n");
    }
    for (int i = 0; i < 2 + d.pick(5); ++i) {
        mine[1].push_back(d.v6(128));
        six += "addr add " + mine[1].back() + "/" + std::to_string(32 + (d.pick(7) * 16)) +
               " dev " + dev() + " nodad" + (d.pick(4) == 0 ? " preferred_lft 0" : "") + "\n";
    }
    // A third of the hosts route through nexthop objects, as routing daemons
    // do: some gateways an object, some a group of two alike. In half of
    // those the kernel says nothing to the routes when objects change.
    const bool routed = n % 3 == 0;
    int ids = 0;
    std::string first; // object 1's gateway, of its family
    const auto through = [&](bool v6, std::string *lines) {
        const std::string gw = v6 ? d.v6(128) : d.v4(32);
        const std::string one = " via " + gw + " dev " + dev() + " onlink\n";
        first = first.empty() ? gw : first;
        *lines += "nexthop add id " + std::to_string(++ids) + one;
        if (d.pick(3) == 0) {
            *lines += "nexthop add id " + std::to_string(ids + 1) + one + "nexthop add id " +
                      std::to_string(ids + 2) + " group " + std::to_string(ids) + "/" +
                      std::to_string(ids + 1) + "\n";
            ids += 2;
        }
        return " nhid " + std::to_string(ids);
    };
    static const char *const kinds[] = {"", "", "", "blackhole ", "unreachable ", "throw "};
    static const char *const tables[] = {"", " table 100", " table 101"};
    for (int i = 0; i < 6 + d.pick(12); ++i) {
        const bool v6 = d.pick(3) == 0;
        const std::string kind = kinds[d.pick(6)];
        const int len = v6 ? 16 * d.pick(9) : d.pick(33);
        std::string r =
            "route add " + kind + (v6 ? d.v6(len) : d.v4(len)) + "/" + std::to_string(len);
        if (kind.empty() && routed && d.pick(2) == 0)
            r += through(v6, v6 ? &six : &four);
        else if (kind.empty())
            r += d.pick(2) == 0 ? " dev " + dev()
                                : " via " + (v6 ? d.v6(128) : d.v4(32)) +
                                      (d.pick(3) == 0 ? " dev " + dev() + " onlink" : "");
        if (kind.empty() && d.pick(4) == 0)
            r += " src " + (v6 ? d.v6(128) : d.v4(32));
        if (v6 && d.pick(4) == 0) // a source-specific route
            r += " from " + d.v6(48) + "/" + std::to_string(16 * (1 + d.pick(4)));
        (v6 ? six : four) +=
            r + " metric " + std::to_string(d.pick(3) * 10) + tables[d.pick(3)] + "\n";
    }
    static const char *const rules[] = {"lookup 100",
                                        "lookup 101",
                                        "lookup 100 suppress_prefixlength 8",
                                        "not fwmark 7 lookup 101",
                                        "fwmark 7 lookup 100",
                                        "goto 300",
                                        "iif lo lookup 100",
                                        "lookup main suppress_prefixlength 0",
                                        "lookup 101 suppress_ifgroup 0",
                                        "prohibit",
                                        "fwmark 0x4/0xc lookup 101",
                                        "tos 0x08 lookup 100",
                                        "ipproto 6 lookup 101",
                                        "dport 53 lookup 100",
                                        "sport 1000-2000 lookup 101",
                                        "uidrange 0-0 lookup 100",
                                        "oif ",
                                        "from "};
    for (int i = 0; i < 1 + d.pick(4); ++i) {
        const bool v4 = d.pick(2) == 0;
        std::string &to = v4 ? four : six;
        std::string r = rules[d.pick(18)];
        if (r == "oif ")
            r += dev() + " lookup 10" + std::to_string(d.pick(2));
        else if (r == "from ")
            r += (v4 ? d.v4(24) + "/24" : d.v6(64) + "/64") + " lookup 100";
        to += "rule add pref " + std::to_string(100 + (i * 100)) + " " + r + "\n";
        if (d.pick(2) == 0)
            to += "rule add pref " + std::to_string(150 + (i * 100)) + " to " +
                  (v4 ? d.v4(16) + "/16" : d.v6(32) + "/32") + " lookup 100\n";
    }
    const auto batch = [](const char *family, const std::string &lines) {
        return std::string("ip ") + family + " -force -batch - <<'EOF' 2>/dev/null || :\n" + lines +
               "EOF\n";
    };
    Host h;
    h.setup = bridges(devs) + "\n" +
              (routed && n % 2 == 0 ? "sysctl -qw net.ipv4.nexthop_compat_mode=0\n" : "") +
              batch("-4", four) + batch("-6", six) + "sleep 0.3";
    std::vector<std::string> to;
    to.reserve(16);
    for (int i = 0; i < 16; ++i) {
        const auto f = static_cast<std::size_t>(d.pick(3) == 0 ? 1 : 0);
        to.push_back(f == 1 ? d.v6(128) : d.v4(32));
        // Half of them with words for the packet, as ip route get takes them.
        for (int w = d.pick(2) == 0 ? 1 + d.pick(3) : 0; w > 0; --w) {
            static const char *const words[] = {
                " mark 7",   " mark 4",     " tos 0x08", " tos 0x48", " ipproto 6", " ipproto 17",
                " dport 53", " sport 1500", " uid 0",    " oif ",     " from "};
            std::string word = words[d.pick(11)];
            if (word == " oif ")
                word += dev();
            else if (word == " from " && d.pick(3) > 0)
                word += mine[f][static_cast<std::size_t>(d.pick(static_cast<int>(mine[f].size())))];
            else if (word == " from ")
                word += f == 1 ? d.v6(128) : d.v4(32);
            if (to.back().find(word.substr(0, 5)) == std::string::npos)
                to.back() += word;
        }
    }

    h.steps = to;
    const std::string change = "link set " + dev() + " down\naddr del " + d.v4(32) + "/" +
                               std::to_string(8 + (d.pick(5) * 5)) + " dev " + dev() +
                               "\nroute add " + d.v4(24) + "/24 via " + d.v4(32) +
                               " metric 5\nroute del default\n" + "rule del pref 200\nlink set " +
                               dev() + " up\n";
    if (!first.empty()) // object 1 moves, and 2 goes
        h.steps.push_back("+" + batch(first.find(':') != std::string::npos ? "-6" : "-4",
                                      "nexthop replace id 1 via " + first + " dev " + dev() +
                                          " onlink\nnexthop del id 2\n"));
    h.steps.push_back("+" + batch("-4", change) +
                      batch("-6", "route del default\nrule del pref 100\n") + "sleep 0.3");
    h.steps.emplace_back("update");
    h.steps.insert(h.steps.end(), to.begin(), to.end());
    return h;
}

TEST_F(Nearest, AgreesWithTheKernelOnRandomHosts)
{
    // NEAREST_HOSTS, when set, asks for more hosts than a run's 20.
    const char *more = std::getenv("NEAREST_HOSTS");
    const unsigned hosts =
        more != nullptr ? static_cast<unsigned>(std::strtoul(more, nullptr, 10)) : 20;
    for (unsigned n = 1; n <= hosts; ++n) {
        const Host h = random_host(n);
        const Outcome o = probe(h.setup, h.steps, false);
        const bool agree = o.out.find(": kernel") == std::string::npos &&
                           o.out.find("otherwise") == std::string::npos;
        EXPECT_TRUE(agree) << "host " << n << "\n"
                           << h.setup << "\n"
                           << h.steps[16] << "\n"
                           << o.out;
        EXPECT_EQ(o.status, 0) << "host " << n << ": " << o.err;
    }
}

// The table's validity check, which the fuzzer trusts, refuses a copy of a
// good table with any one fault in it.
TEST(NearestState, ValidityCheckSeesEachFault)
{
    using namespace nearest_internal;
    state good{};
    const auto add = [&](int type, int slot, const char *local, int len, u32 object) {
        change c{};
        c.type = type;
        c.slot = slot;
        c.index = 2;
        c.flags = IFF_UP | IFF_RUNNING;
        std::strcpy(c.name, "b0");
        inet_pton(slot == v4 ? AF_INET : AF_INET6, local, c.local);
        std::memcpy(c.peer, c.local, 16);
        c.len = len;
        c.table = RT_TABLE_MAIN;
        c.rtype = RTN_UNICAST;
        c.object = object;
        c.kind = object_single;
        c.nhops = 1;
        c.hops[0] = {{10, 0, 0, 1}, v4, 2};
        apply(good, c, false);
    };
    add(RTM_NEWLINK, v4, "0.0.0.0", 0, 0);
    add(RTM_NEWADDR, v6, "2001:db8::5", 64, 0);
    add(RTM_NEWADDR, v4, "10.0.0.5", 24, 0);
    add(RTM_NEWNEXTHOP, v4, "0.0.0.0", 0, 5);
    add(RTM_NEWROUTE, v4, "10.1.0.0", 16, 5);
    add(RTM_NEWROUTE, v4, "10.2.0.0", 16, 0);
    change failed{};
    failed.type = RTM_NEWNEIGH;
    failed.slot = v4;
    failed.index = 2;
    failed.flags = NUD_FAILED;
    inet_pton(AF_INET, "10.9.0.9", failed.local); // kept; the gateway of no nexthop
    apply(good, failed, false);
    ASSERT_TRUE(valid_state(good));
    const struct {
        const char *what;
        void (*fault)(state &);
    } cases[] = {
        {"an IPv6 address on another device's list",
         [](state &x) { x.addresses[x.devices[0].first[v6]].index = 3; }},
        {"a nexthop held once more than routes hold it",
         [](state &x) { ++x.hops[x.hops[0].refs > 0 ? 0 : 1].refs; }},
        {"a binding without its object's nexthop",
         [](state &x) {
             for (u32 h = 0; h < x.hops.n; ++h)
                 if (x.hops[h].object != 0)
                     x.hops[h].members = none;
         }},
        {"a binding to an object that is gone", [](state &x) { x.objects[0].id = 6; }},
        {"a binding its object does not list", [](state &x) { x.objects[0].bound = none; }},
        {"a nexthop through a failed neighbour left unmarked",
         [](state &x) {
             neighbour &n = x.unusable[0];
             n = neighbour{{10, 0, 0, 1}, 2, v4, NUD_FAILED};
             for (hop &h : x.hops)
                 h.shunned = false;
         }},
    };
    for (const auto &c : cases) {
        state bad{};
        ASSERT_TRUE(copy_state(bad, good));
        c.fault(bad);
        EXPECT_FALSE(valid_state(bad)) << c.what;
        drop_state(bad);
    }
    drop_state(good);
}

} // namespace
