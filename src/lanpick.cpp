// SPDX-License-Identifier: ISC
#include "lanpick.h"

#include "getif.h"
#include "report.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *progname;
int debug;

// Only ASCII digits count, whatever the locale or the sign of char.
static bool isdigit_ascii(char c)
{
    return c >= '0' && c <= '9';
}

[[noreturn]] static void print(const struct ifreq *r)
{
    // The name field need not hold a NUL; never read past it.
    std::printf("Intf-name:%.*s\n", IFNAMSIZ, r->ifr_name);
    std::printf("Intf-addr:%s\n", inet_ntoa(getif_addr(r)));
    // The answer counts only if it reached standard output.
    if (std::fflush(stdout) != 0) {
        std::perror("write error");
        std::exit(1);
    }
    std::exit(0);
}

bool target(const char *arg, struct in_addr *addr)
{
    if (isdigit_ascii(arg[0])) {
        addr->s_addr = inet_addr(arg);
        return true;
    }
    // IPv4 only, as the answer is: gethostbyname, not getaddrinfo.
    // cppcheck-suppress gethostbynameCalled
    const struct hostent *h = gethostbyname(arg);
    if (h == nullptr || h->h_addr_list[0] == nullptr)
        return false;
    std::memcpy(addr, h->h_addr_list[0], sizeof *addr);
    return true;
}

int main(int argc, char *argv[])
{
    progname = argv[0];
    // Our own buffer: stdio then neither allocates one nor probes the
    // output device, and everything goes out in one write at exit.
    static char outbuf[BUFSIZ];
    std::setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);

    in_addr addr{};
    const struct in_addr *ref = nullptr;
    if (argc > 1) {
        ref = &addr;
        if (!target(argv[1], &addr)) {
            std::printf("gethostbyname(%s)\n", argv[1]);
            std::exit(1);
        }
    }

    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        std::perror("socket open");
        std::exit(1);
    }

    const struct ifreq *r = getif(s, ref);
    if (r == nullptr) {
        std::printf("no interface for address\n");
        std::exit(1);
    }
    print(r);
}
