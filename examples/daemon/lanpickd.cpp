// SPDX-License-Identifier: ISC
// lanpickd [-d LEVEL] [ADDRESS...]: answers, for each host read on standard
// input, one per line, with the local interface nearest to it, and stays
// right while the addresses change: an rtnetlink socket tells it when to
// forget the interface list it keeps. Every answer also goes to the system
// log, under the daemon facility; so does each ADDRESS, looked up once at
// start. With a LEVEL above 2, each report goes to standard error too.
//
// One line out for every line in, flushed:
//   HOST NAME ADDRESS   the interface NAME, with ADDRESS, is nearest to HOST
//   HOST - none         no interface shares 8 leading bits with HOST
//   HOST - unknown      the name service has no IPv4 address for HOST
//   - - empty           the line was empty
//   - - long            the line was longer than 255 bytes
//   - - invalid         the line held a NUL, a space or another control byte
// It exits 0 at the end of its input, or on SIGTERM or SIGINT.
#include <lanpick/getif.h>
#include <lanpick/report.h>

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The library reads these two; the program defines them.
const char *progname;
int debug;

namespace {

constexpr std::size_t maxhost = 255; // longer than any DNS name

volatile std::sig_atomic_t stopped = 0;

void stop(int /*signal*/)
{
    stopped = 1;
}

// An rtnetlink socket subscribed to IPv4 address events, or -1 when there is
// none: the daemon then answers from the first list it fetches.
int follow()
{
    const int nl = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = RTMGRP_IPV4_IFADDR;
    if (nl >= 0 && bind(nl, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0)
        return nl;
    report(3, "netlink: %s; not following address changes", get_errmsg());
    if (nl >= 0)
        close(nl);
    return -1;
}

// Reads every event already queued, without waiting, and forgets the kept
// list if there was one. An overflow of the queue (ENOBUFS) counts as an
// event: some were lost. The group carries nothing but address events, so
// what they say does not matter; a burst costs one fetch, at the next lookup.
void drain(int nl)
{
    static char buf[8192];
    bool changed = false;
    for (;;) {
        const ssize_t n = recv(nl, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && errno == ENOBUFS))
            changed = true;
        else if (n == 0 || errno != EINTR)
            break;
    }
    if (changed)
        getif_forget();
}

// Writes all of text, or ends the daemon: nobody reads its answers.
void put(const char *text, std::size_t len)
{
    while (len > 0) {
        const ssize_t n = write(1, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            report(3, "standard output: %s", get_errmsg());
            _exit(1);
        }
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

void answer(const char *host, const char *name, const char *what)
{
    static char line[maxhost + 64];
    const int n = std::snprintf(line, sizeof line, "%s %.*s %s\n", host, IFNAMSIZ, name, what);
    put(line, static_cast<std::size_t>(n));
}

// The address of a dotted IPv4 text, or else of a host name.
bool resolve(const char *host, in_addr *addr)
{
    if (inet_pton(AF_INET, host, addr) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *ai = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &ai) != 0)
        return false;
    *addr = reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr;
    freeaddrinfo(ai);
    return true;
}

// The interface nearest to addr, reported; its address is left in found.
const ifreq *nearest(int s, const char *host, const in_addr *addr, char (&found)[INET_ADDRSTRLEN])
{
    const ifreq *r = getif(s, addr);
    if (r == nullptr) {
        report(5, "%s: no interface", host);
        return nullptr;
    }
    const in_addr a = getif_addr(r);
    inet_ntop(AF_INET, &a, found, sizeof found);
    report(6, "%s: %.*s %s", host, IFNAMSIZ, r->ifr_name, found);
    return r;
}

void query(int s, int nl, const char *host)
{
    in_addr addr{};
    if (!resolve(host, &addr)) {
        report(5, "%s: unknown host", host);
        answer(host, "-", "unknown");
        return;
    }
    if (nl >= 0)
        drain(nl); // no answer may predate a change already announced
    char found[INET_ADDRSTRLEN];
    const ifreq *r = nearest(s, host, &addr, found);
    if (r == nullptr)
        answer(host, "-", "none");
    else
        answer(host, r->ifr_name, found);
}

// One line of input, as read: its first bytes, its length, and whether it
// held a byte that no host holds.
struct Line {
    char text[maxhost + 1];
    std::size_t len;
    bool invalid;
};

void serve(int s, int nl, Line *in, unsigned long lineno)
{
    const char *why = in->len == 0        ? "empty"
                      : in->len > maxhost ? "long"
                      : in->invalid       ? "invalid"
                                          : nullptr;
    if (why == nullptr) {
        in->text[in->len] = '\0';
        query(s, nl, in->text);
    } else {
        report(4, "line %lu: %s", lineno, why);
        answer("-", "-", why);
    }
    in->len = 0;
    in->invalid = false;
}

// Adds c to the line; false when c ends it.
bool take(Line *in, char c)
{
    if (c == '\n')
        return false;
    if (in->len <= maxhost) // one more than fits marks the line long
        in->text[in->len++] = c;
    in->invalid = in->invalid || static_cast<unsigned char>(c) <= ' ' || c == '\x7f';
    return true;
}

// Reads what standard input holds and answers each line it ends: 1 while
// there is more to come, 0 at its end, -1 when it cannot be read.
int feed(int s, int nl, Line *in, unsigned long *lineno)
{
    static char buf[4096];
    const ssize_t n = read(0, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return 1;
    if (n < 0) {
        report(3, "standard input: %s", get_errmsg());
        return -1;
    }
    if (n == 0 && in->len > 0) // a last line without its newline
        serve(s, nl, in, ++*lineno);
    for (ssize_t i = 0; i < n; ++i)
        if (!take(in, buf[i]))
            serve(s, nl, in, ++*lineno);
    return n > 0 ? 1 : 0;
}

// Answers every line on standard input until it ends or a signal stops us;
// false if it could not be read. The signals are blocked except while
// waiting, so none is lost between a test of the flag and the wait.
bool run(int s, int nl, const sigset_t *waiting)
{
    static Line in;
    unsigned long lineno = 0;
    pollfd fds[2] = {{0, POLLIN, 0}, {nl, POLLIN, 0}};
    int more = 1;
    while (stopped == 0 && more > 0) {
        if (ppoll(fds, nl >= 0 ? 2 : 1, nullptr, waiting) < 0) {
            if (errno == EINTR)
                continue;
            report(3, "poll: %s", get_errmsg());
            return false;
        }
        if (fds[1].revents != 0)
            drain(nl); // keep the queue short while no query comes
        if (fds[0].revents != 0)
            more = feed(s, nl, &in, &lineno);
    }
    return more >= 0;
}

// A command-line address, looked up once at start and logged only.
void logged(int s, const char *text)
{
    in_addr addr{};
    if (inet_pton(AF_INET, text, &addr) != 1) {
        report(4, "%s: not a dotted IPv4 address", text);
        return;
    }
    char found[INET_ADDRSTRLEN];
    (void)nearest(s, text, &addr, found);
}

} // namespace

int main(int argc, char *argv[])
{
    progname = argv[0];
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "-d") == 0) {
        debug = static_cast<int>(std::strtol(argv[2], nullptr, 10));
        first = 3;
    }
    report_init(0); // the system log from now on

    struct sigaction sa {};
    sa.sa_handler = stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a reader that goes away is a write error
    sigset_t stops;
    sigset_t waiting;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, &waiting);

    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        report(3, "socket: %s", get_errmsg());
        return 1;
    }
    const int nl = follow();
    for (int i = first; i < argc; ++i)
        logged(s, argv[i]);
    return run(s, nl, &waiting) ? 0 : 1;
}
