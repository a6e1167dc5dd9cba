// SPDX-License-Identifier: ISC
// The nearest table against the real kernel in private namespaces: which
// address faces a destination, and how the table follows the kernel's events
// (counting its dumps with strace).
#include "sandbox.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The shell commands for "DEV ARGS; ...": each bridge DEV is made and set
// up when first named; ARGS "down" sets it down, "lo" brings loopback up,
// "N+A.B.C" adds N addresses A.B.C.1 and on, and any other ARGS are those
// of "ip addr add ARGS dev DEV".
std::vector<std::string> setup(const std::string &net)
{
    std::vector<std::string> cmds;
    std::vector<std::string> made;
    std::istringstream items(net);
    for (std::string item; std::getline(items, item, ';');) {
        std::istringstream words(item);
        std::string dev;
        std::string args;
        words >> dev;
        std::getline(words, args);
        if (dev == "lo") {
            cmds.emplace_back("ip link set lo up");
            continue;
        }
        if (std::ranges::find(made, dev) == made.end()) {
            made.push_back(dev);
            cmds.push_back(std::string("ip link add ")
                               .append(dev)
                               .append(" type bridge && ip link set ")
                               .append(dev)
                               .append(" up"));
        }
        const std::size_t plus = args.find('+');
        if (args == " down")
            cmds.push_back("ip link set " + dev + " down");
        else if (plus != std::string::npos)
            cmds.push_back(std::string("for i in $(seq ")
                               .append(args.substr(0, plus))
                               .append("); do echo addr add ")
                               .append(args.substr(plus + 1))
                               .append(".$((i / 256)).$((i % 256))/32 dev ")
                               .append(dev)
                               .append("; done | ip -batch -"));
        else
            cmds.push_back(std::string("ip addr add").append(args).append(" dev ").append(dev));
    }
    return cmds;
}

// Runs nearest_probe with the steps after the network is set up; traced,
// it ends with the number of address dumps that strace saw.
Outcome probe(const std::string &net, const std::vector<std::string> &steps, bool traced)
{
    return run(Sandbox{}, [&] {
        for (const std::string &cmd : setup(net))
            shell(cmd.c_str());
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

using Nearest = Namespaces;

TEST_F(Nearest, ChoosesAsAStackWould)
{
    const struct {
        const char *what, *net;
        std::vector<std::string> to;
        const char *out;
    } cases[] = {
        {"a subnet beats more bits; the same address beats both; a mapped one is IPv4",
         "b0 10.0.0.5/24; b1 10.0.0.201/32",
         {"10.0.0.200", "10.0.0.201", "::ffff:10.0.0.7"},
         "b0 10.0.0.5 subnet\nb1 10.0.0.201 same\nb0 10.0.0.5 subnet\n"},
        {"the longest subnet wins",
         "b0 10.0.0.5/8; b1 10.1.0.5/16",
         {"10.1.2.3"},
         "b1 10.1.0.5 subnet\n"},
        {"leading bits, at least 8",
         "b0 10.1.2.64/32",
         {"10.1.2.3", "10.200.0.1", "11.0.0.1"},
         "b0 10.1.2.64 prefix\nb0 10.1.2.64 prefix\n- none\n"},
        {"IPv6 subnets; a tentative address left out, a nodad one kept",
         "b0 2001:db8:1::5/64 nodad; b1 2001:db8:2::5/64 nodad; b0 2001:db8:3::5/64;"
         "b1 2001:db8:3::6/64 nodad",
         {"2001:db8:2::99", "2001:db8:3::99"},
         "b1 2001:db8:2::5 subnet\nb1 2001:db8:3::6 subnet\n"},
        {"link-local only from the scope's device, and none without a scope",
         "b0 fe80::1/64 nodad; b1 fe80::2/64 nodad; b1 2001:db8::2/64 nodad",
         {"fe80::99%b1", "fe80::99%b0", "fe80::99"},
         "b1 fe80::2 subnet\nb0 fe80::1 subnet\n- scope\n"},
        {"host scope only for host scope; link-local IPv4 for link-local IPv4",
         "lo; b0 10.0.0.5/8; b1 169.254.1.1/16",
         {"127.0.0.2", "::2", "169.200.0.1", "169.254.7.7", "10.0.0.9"},
         "lo 127.0.0.1 subnet\n- none\n- none\nb1 169.254.1.1 subnet\nb0 10.0.0.5 subnet\n"},
        {"a host-scope destination from host scope alone",
         "b0 126.0.0.1/7",
         {"127.0.0.2"},
         "- none\n"},
        {"a down device left out",
         "b0 10.1.2.3/32; b1 10.1.2.9/32; b0 down",
         {"10.1.2.3"},
         "b1 10.1.2.9 prefix\n"},
        {"deprecated behind valid, whatever the kernel's order",
         "b0 10.0.0.5/24 preferred_lft 0; b1 10.0.0.6/24",
         {"10.0.0.7"},
         "b1 10.0.0.6 subnet\n"},
        {"a point-to-point address: its peer is its subnet",
         "b0 10.5.0.1 peer 10.6.0.2/32",
         {"10.6.0.2", "10.5.0.1"},
         "b0 10.5.0.1 subnet\nb0 10.5.0.1 same\n"},
        {"every address: the 300th", "b0 300+10.2", {"10.2.1.44"}, "b0 10.2.1.44 same\n"},
    };
    for (const auto &c : cases) {
        const Outcome o = probe(c.net, c.to, false);
        EXPECT_EQ(o.out, c.out) << c.what;
        EXPECT_EQ(o.err, "") << c.what;
        EXPECT_EQ(o.status, 0) << c.what;
    }
}

TEST_F(Nearest, FollowsTheKernel)
{
    const struct {
        const char *what, *net;
        std::vector<std::string> steps;
        const char *out;
        bool traced;
    } cases[] = {
        {"an address added, a device down, an address deleted",
         "b0 10.1.2.3/24; b1 10.9.0.1/32",
         {"10.1.2.99", "+ip addr add 10.1.2.99/32 dev b1", "update", "10.1.2.99",
          "+ip link set b1 down", "update", "10.1.2.99", "+ip addr del 10.1.2.3/24 dev b0",
          "update", "10.1.2.99"},
         "b0 10.1.2.3 subnet\nb1 10.1.2.99 same\nb0 10.1.2.3 subnet\n- none\n",
         false},
        {"100 changes cost no dump",
         "b0 10.1.2.3/24",
         {"+b=$(for i in $(seq 100); do echo addr add 10.7.0.$i/32 dev b0; done); "
          "echo \"$b\" | ip -batch -",
          "update", "10.7.0.100"},
         "b0 10.7.0.100 same\nexit 0, 1 dumps\n",
         true},
        {"an overflow while stopped costs one dump",
         "b0 10.1.2.3/24",
         {"stopped:for i in $(seq 5000); do echo addr add 10.8.$((i / 256)).$((i % 256))/32 dev "
          "b0; done | ip -batch -",
          "update", "10.8.19.136"},
         "b0 10.8.19.136 same\nexit 0, 2 dumps\n",
         true},
    };
    for (const auto &c : cases) {
        const Outcome o = probe(c.net, c.steps, c.traced);
        EXPECT_EQ(o.out, c.out) << c.what;
        EXPECT_EQ(o.err, "") << c.what;
    }
}

} // namespace
