// SPDX-License-Identifier: ISC
#include "getif.h"
#include "report.h"
#include "sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Runs the steps in one process, so that they share the module's kept list:
// an address calls getif and prints what it chose; "-" calls it with no
// address; "@socket", "@devnull" and "@-1" pick the descriptor for later
// calls; "+cmd" runs a shell command; "forget" calls getif_forget.
void steps(const std::vector<std::string> &list)
{
    progname = "prog";
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    const int devnull = open("/dev/null", O_RDONLY);
    int fd = sock;
    for (const std::string &step : list) {
        if (step[0] == '@') {
            fd = step == "@socket" ? sock : step == "@devnull" ? devnull : -1;
            continue;
        }
        if (step == "forget") {
            getif_forget();
            continue;
        }
        if (step[0] == '+') {
            shell(step.c_str() + 1);
            continue;
        }
        in_addr a{};
        inet_pton(AF_INET, step.c_str(), &a);
        const struct ifreq *r = getif(fd, step == "-" ? nullptr : &a);
        if (r == nullptr) {
            std::printf("null\n");
            continue;
        }
        std::printf("%s %s\n", r->ifr_name, inet_ntoa(getif_addr(r)));
    }
}

using Getif = Namespaces;

TEST_F(Getif, KeptListAndRetries)
{
    const char *const add9 = "+ip addr add 10.9.9.9/32 dev b0 label b0:b";
    const char *const failed = "prog: error(3):  ioctl SIOCGIFCONF\n";
    const struct {
        const char *what, *net;
        std::vector<std::string> steps;
        const char *out, *err;
    } cases[] = {
        {"the first list is kept: no later address, no request on a bad descriptor",
         "b0:a=10.1.2.3",
         {"10.1.2.3", add9, "10.9.9.9", "@-1", "10.1.2.3"},
         "b0:a 10.1.2.3\nb0:a 10.1.2.3\nb0:a 10.1.2.3\n",
         ""},
        {"forgotten, the list is asked for again",
         "b0:a=10.1.2.3",
         {"forget", "10.1.2.3", add9, "forget", "10.9.9.9"},
         "b0:a 10.1.2.3\nb0:b 10.9.9.9\n",
         ""},
        {"a descriptor that is no socket fails; a later call asks again",
         "b0:a=10.1.2.3",
         {"@devnull", "10.1.2.3", "@socket", "10.1.2.3"},
         "null\nb0:a 10.1.2.3\n",
         failed},
        {"an empty list is reported and not kept",
         "",
         {"10.1.2.3", "+ip link add b0 type bridge", add9, "10.1.2.3"},
         "null\nb0:b 10.9.9.9\n",
         failed},
        {"no address: nothing is fetched or reported",
         "b0:a=10.1.2.3",
         {"@-1", "-", "@socket", "-", "10.1.2.3"},
         "null\nnull\nb0:a 10.1.2.3\n",
         ""},
        {"no interface within 8 bits: null, no report",
         "b0:a=10.1.2.3",
         {"11.1.2.3", "10.1.2.3"},
         "null\nb0:a 10.1.2.3\n",
         ""},
    };
    for (const auto &c : cases) {
        const Outcome o = run(Sandbox{.net = c.net}, [&c] { steps(c.steps); });
        EXPECT_EQ(o.out, c.out) << c.what;
        EXPECT_EQ(o.err, c.err) << c.what;
        EXPECT_EQ(o.status, 0) << c.what;
    }
}

} // namespace
