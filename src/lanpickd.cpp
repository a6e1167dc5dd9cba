// SPDX-License-Identifier: ISC
// lanpickd [-v] [-d LEVEL] [ADDRESS...]: answers, for each host read on
// standard input, one per line, with the local address that faces it, as the
// nearest module chooses, and stays right while the addresses change. Each
// ADDRESS is answered into the system log at start. lanpickd(1) says the
// rest: the line format, signals, exit status and logging.
#include "getif.h"
#include "nearest.h"
#include "report.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <numeric>

// The library reads these two; the program defines them.
const char *progname;
int debug;

namespace {

constexpr std::size_t maxhost = 255; // longer than any DNS name

volatile std::sig_atomic_t stopped = 0;
volatile std::sig_atomic_t waiting = 0; // in a call that may block

// SIGTERM and SIGINT end the daemon with status 0: at once when it waits to
// read, write or poll, else at its next wait, so that no half line is
// written after the signal.
void stop(int /*signal*/)
{
    if (waiting != 0)
        _exit(0);
    stopped = 1;
}

// Runs a call that may block with the handler ready to end the daemon in
// it. A signal that came before is seen here, so none waits for input.
template <typename Call> auto wait_in(Call call)
{
    waiting = 1;
    if (stopped != 0)
        _exit(0);
    const auto r = call();
    waiting = 0;
    return r;
}

bool verbose;
int nl = -1;      // the nearest table's socket, or -1: answers by getif
int s = -1;       // getif's socket
char out[262144]; // answers not yet written: those of one read, as a rule
std::size_t outlen;

// Opens /dev/null on each closed standard descriptor, so that no socket
// takes its place; false when standard output was closed.
bool descriptors()
{
    bool output = true;
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            output = output && fd != 1;
            if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
                return false;
        }
    return output;
}

// Where the answers of out[from, outlen) that fit in PIPE_BUF bytes end: at
// the end of their last whole line.
std::size_t piece(std::size_t from)
{
    if (outlen - from <= PIPE_BUF)
        return outlen;
    const void *last = memrchr(out + from, '\n', PIPE_BUF);
    return last != nullptr ? static_cast<std::size_t>(static_cast<const char *>(last) - out) + 1
                           : from + PIPE_BUF;
}

// Writes the answers in pieces of whole lines, none over PIPE_BUF bytes. A
// pipe takes such a piece whole or not at all, so a signal that ends the
// daemon while it waits to write leaves no half line behind it.
void flush()
{
    for (std::size_t done = 0; done < outlen;) {
        const std::size_t end = piece(done);
        const ssize_t n = wait_in([done, end] { return write(1, out + done, end - done); });
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            report(3, "standard output: %s", get_errmsg());
            _exit(1);
        }
        done += static_cast<std::size_t>(n);
    }
    outlen = 0;
}

void put(const char *text, std::size_t len)
{
    std::memcpy(out + outlen, text, len);
    outlen += len;
}

void put(const char *text)
{
    put(text, std::strlen(text));
}

// The scope of "ADDRESS%SCOPE": a device's index, or its name.
unsigned scope_id(const char *scope)
{
    char *end = nullptr;
    const unsigned long n = std::strtoul(scope, &end, 10);
    if (*scope != '\0' && *end == '\0')
        return static_cast<unsigned>(n);
    return if_nametoindex(scope);
}

// A numeric IPv6 address, with an optional %scope.
bool ipv6(const char *host, sockaddr_in6 *sin6)
{
    char addr[maxhost + 1];
    const std::size_t len = std::strcspn(host, "%");
    if (len > maxhost)
        return false;
    std::memcpy(addr, host, len);
    addr[len] = '\0';
    *sin6 = sockaddr_in6{};
    sin6->sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, addr, &sin6->sin6_addr) != 1)
        return false;
    if (host[len] == '%')
        sin6->sin6_scope_id = scope_id(host + len + 1);
    return host[len] == '\0' || sin6->sin6_scope_id != 0;
}

// The destination a host stands for: a dotted IPv4 address, an IPv6 address
// with an optional %scope, or a name's first address in the system's order.
bool resolve(const char *host, sockaddr_storage *to)
{
    auto *sin = reinterpret_cast<sockaddr_in *>(to);
    *to = sockaddr_storage{};
    if (inet_pton(AF_INET, host, &sin->sin_addr) == 1) {
        sin->sin_family = AF_INET;
        return true;
    }
    if (std::strchr(host, ':') != nullptr)
        return ipv6(host, reinterpret_cast<sockaddr_in6 *>(to));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM; // one entry an address
    addrinfo *ai = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &ai) != 0)
        return false;
    std::memcpy(to, ai->ai_addr, ai->ai_addrlen <= sizeof *to ? ai->ai_addrlen : sizeof *to);
    freeaddrinfo(ai);
    return true;
}

// Without netlink: IPv4 by leading bits from the list getif keeps.
void by_bits(const sockaddr_storage &to)
{
    if (to.ss_family != AF_INET) {
        put("- none");
        return;
    }
    const auto &sin = reinterpret_cast<const sockaddr_in &>(to);
    const ifreq *r = getif(s, &sin.sin_addr);
    if (r == nullptr) {
        put("- none");
        return;
    }
    char text[INET_ADDRSTRLEN];
    const in_addr a = getif_addr(r);
    inet_ntop(AF_INET, &a, text, sizeof text);
    put(r->ifr_name, strnlen(r->ifr_name, IFNAMSIZ));
    put(" ");
    put(text);
    put(" bits");
}

// The text form of an answer's address. Answers repeat, so the texts of
// recent ones are kept, one in each of 64 places chosen by the address.
const char *text_of(const struct nearest *r)
{
    struct place {
        unsigned char key[sizeof r->addr + 1]; // the address, then 4 or 6
        char text[INET6_ADDRSTRLEN];
    };
    static place kept[64];
    unsigned char key[sizeof place::key];
    std::memcpy(key, &r->addr, sizeof r->addr);
    key[sizeof r->addr] = r->family == AF_INET ? 4 : 6;
    const unsigned h = std::accumulate(std::begin(key), std::end(key), 0U,
                                       [](unsigned a, unsigned char b) { return (a * 31U) + b; });
    place &p = kept[h % 64];
    if (std::memcmp(key, p.key, sizeof key) != 0) {
        std::memcpy(p.key, key, sizeof key);
        inet_ntop(r->family, &r->addr, p.text, sizeof p.text);
    }
    return p.text;
}

// Appends "HOST NAME ADDRESS WHY" or "HOST - REASON", and logs it with -v.
void answer(const char *host)
{
    const std::size_t first = outlen;
    put(host);
    put(" ");
    sockaddr_storage to;
    if (!resolve(host, &to)) {
        put("- unknown");
    } else if (nl < 0) {
        by_bits(to);
    } else {
        const char *why = nullptr;
        const struct nearest *r = nearest_find(reinterpret_cast<const sockaddr *>(&to), &why);
        if (r != nullptr) {
            put(r->name);
            put(" ");
            put(text_of(r));
            put(" ");
        } else {
            put("- ");
        }
        put(why);
    }
    if (verbose)
        report(6, "%.*s", static_cast<int>(outlen - first), out + first);
    put("\n");
}

// One line of input as it is read: its first bytes, its length, and whether
// it holds a byte that no host holds. A CR is held back until the next byte
// shows that it does not end the line.
struct Line {
    char text[maxhost + 1];
    std::size_t len;
    bool invalid;
    bool cr;
};

Line in;

void reject(const char *why)
{
    put("- - ");
    put(why);
    if (verbose)
        report(6, "- - %s", why);
    put("\n");
}

void serve()
{
    if (in.len == 0)
        reject("empty");
    else if (in.len > maxhost)
        reject("long");
    else if (in.invalid)
        reject("invalid");
    else {
        in.text[in.len] = '\0';
        answer(in.text);
    }
    in = Line{};
    if (outlen > sizeof out - 2 * maxhost - INET6_ADDRSTRLEN - 32)
        flush();
}

void take(char c)
{
    if (in.cr) { // the CR was inside the line
        in.invalid = true;
        in.len += 1;
    }
    in.cr = c == '\r';
    if (in.cr)
        return;
    if (in.len < maxhost)
        in.text[in.len] = c;
    in.len += in.len <= maxhost ? 1 : 0; // one more than fits marks the line long
    in.invalid = in.invalid || static_cast<unsigned char>(c) <= ' ' || c == '\x7f';
}

// Applies the events queued since the last read, so that no answer predates
// a change announced before its line was read.
void follow()
{
    if (nl >= 0 && nearest_update() == 1)
        report(4, "netlink: events were lost; the table was read anew");
}

// Reads what standard input holds and answers the lines it ends: 1 while
// there is more to come, 0 at its end.
int feed()
{
    static char buf[65536];
    const ssize_t n = wait_in([] { return read(0, buf, sizeof buf); });
    if (n < 0 && errno == EINTR)
        return 1;
    if (n < 0) {
        report(3, "standard input: %s", get_errmsg());
        _exit(1);
    }
    follow();
    if (n == 0 && (in.len > 0 || in.cr)) // a last line without its newline
        serve();
    for (ssize_t i = 0; i < n; ++i)
        if (buf[i] == '\n')
            serve();
        else
            take(buf[i]);
    flush();
    return n > 0 ? 1 : 0;
}

void serve_forever()
{
    pollfd fds[2] = {{0, POLLIN, 0}, {nl, POLLIN, 0}};
    for (;;) {
        if (wait_in([&fds] { return poll(fds, nl >= 0 ? 2 : 1, -1); }) < 0) {
            if (errno == EINTR)
                continue;
            report(3, "poll: %s", get_errmsg());
            _exit(1);
        }
        if (nl >= 0 && fds[1].revents != 0)
            follow(); // keep the queue short while no line comes
        if (fds[0].revents != 0 && feed() == 0)
            return;
    }
}

void signals()
{
    struct sigaction sa {};
    sa.sa_handler = stop;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGHUP, SIG_IGN);  // means nothing to a filter
    std::signal(SIGPIPE, SIG_IGN); // a reader that goes away is a write error
}

// The table, or else getif's list; says which in the log.
void start()
{
    nl = nearest_open();
    s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nl >= 0)
        report(6, "following the addresses through netlink");
    else
        report(5, "answering IPv4 by leading bits from the interface list, IPv6 not at all");
}

} // namespace

int main(int argc, char *argv[])
{
    progname = argv[0];
    const bool output = descriptors();
    for (int c; (c = getopt(argc, argv, "+vd:")) != -1;) {
        if (c == 'v') {
            verbose = true;
        } else if (c == 'd') {
            debug = static_cast<int>(std::strtol(optarg, nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: %s [-v] [-d LEVEL] [ADDRESS...]\n", progname);
            return 1;
        }
    }
    report_init(0); // the system log from now on
    if (!output) {
        errno = EBADF;
        report(3, "standard output: %s", get_errmsg());
        return 1;
    }
    signals();
    start();
    for (int i = optind; i < argc; ++i) {
        const bool was = verbose;
        verbose = true;
        answer(argv[i]);
        verbose = was;
        outlen = 0; // into the log only
    }
    serve_forever();
    return 0;
}
