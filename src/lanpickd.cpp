// SPDX-License-Identifier: ISC
// lanpickd [-v] [-d LEVEL] [-n NETNS] [ADDRESS...]: answers, for each host
// read on standard input, one per line and with the words of `ip route get`
// after it, with the local address that faces it, as the nearest module
// chooses, and stays right while the addresses change; for its own network
// namespace or another. Each ADDRESS is answered into the system log at
// start. lanpickd(1) says the rest: the line format, signals, exit status and
// logging.
#include "getif.h"
#include "nearest.h"
#include "report.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

constexpr std::size_t maxhost = 255;  // longer than any DNS name
constexpr std::size_t maxline = 1023; // a host and the words after it

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
nearest_table *table; // the nearest table, or null: answers by getif
int s = -1;           // getif's socket
char out[262144];     // answers not yet written: those of one read, as a rule
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

// The index of a device of the table's namespace, by index or name; 0 for
// none.
unsigned device_index(const char *dev)
{
    char *end = nullptr;
    const unsigned long n = std::strtoul(dev, &end, 10);
    if (*dev != '\0' && *end == '\0' && n <= UINT_MAX)
        return static_cast<unsigned>(n);
    return table != nullptr ? nearest_table_index(table, dev) : if_nametoindex(dev);
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
        sin6->sin6_scope_id = device_index(host + len + 1);
    return host[len] == '\0' || sin6->sin6_scope_id != 0;
}

// A plain dotted IPv4 address, the common case, read without a call; false
// for anything else, which inet_pton reads then. It takes no more than
// inet_pton does: four decimal parts of at most 255, without leading zeros.
bool dotted(const char *text, in_addr *a)
{
    unsigned char b[4];
    for (int i = 0; i < 4; ++i) {
        unsigned v = 0;
        int digits = 0;
        for (; *text >= '0' && *text <= '9' && digits < 4; ++text, ++digits)
            v = (v * 10) + static_cast<unsigned>(*text - '0');
        if (digits == 0 || digits > 3 || v > 255 || (digits > 1 && text[-digits] == '0') ||
            *text++ != (i < 3 ? '.' : '\0'))
            return false;
        b[i] = static_cast<unsigned char>(v);
    }
    std::memcpy(a, b, sizeof b);
    return true;
}

// The destination a host stands for: a dotted IPv4 address, an IPv6 address
// with an optional %scope, or a name's first address in the system's order.
bool resolve(const char *host, nearest_address *to)
{
    *to = nearest_address{};
    if (dotted(host, &to->v4.sin_addr) || inet_pton(AF_INET, host, &to->v4.sin_addr) == 1) {
        to->v4.sin_family = AF_INET;
        return true;
    }
    if (std::strchr(host, ':') != nullptr)
        return ipv6(host, &to->v6);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM; // one entry an address
    addrinfo *ai = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &ai) != 0)
        return false;
    std::memcpy(to, ai->ai_addr, std::min<std::size_t>(ai->ai_addrlen, sizeof *to));
    freeaddrinfo(ai);
    return true;
}

// A number of at most max, written as ip takes it: decimal, or hexadecimal
// after 0x.
bool number(const char *text, unsigned long max, unsigned long *n)
{
    char *end = nullptr;
    errno = 0;
    *n = std::strtoul(text, &end, 0);
    return *text != '\0' && *text != '-' && *end == '\0' && errno == 0 && *n <= max;
}

// An IP protocol by its name, as ip route get takes it, or its number.
bool protocol(const char *text, unsigned long *n)
{
    static const struct {
        const char *name;
        unsigned long number;
    } names[] = {{"tcp", IPPROTO_TCP},
                 {"udp", IPPROTO_UDP},
                 {"icmp", IPPROTO_ICMP},
                 {"ipv6-icmp", IPPROTO_ICMPV6}};
    for (const auto &p : names)
        if (std::strcmp(text, p.name) == 0) {
            *n = p.number;
            return true;
        }
    return number(text, 255, n);
}

// One word of a line and its value into the query; false for a word it
// does not know or a bad value.
bool word(const char *w, const char *value, nearest_query *q)
{
    unsigned long n = 0;
    if (std::strcmp(w, "from") == 0) {
        q->flags |= NEAREST_FROM;
        q->from = nearest_address{};
        q->from.sa.sa_family = std::strchr(value, ':') != nullptr ? AF_INET6 : AF_INET;
        return q->from.sa.sa_family == AF_INET
                   ? inet_pton(AF_INET, value, &q->from.v4.sin_addr) == 1
                   : inet_pton(AF_INET6, value, &q->from.v6.sin6_addr) == 1;
    }
    static const struct {
        const char *word;
        unsigned flag;
        unsigned long max;
    } numbers[] = {{"oif", NEAREST_OIF, 0},           {"mark", NEAREST_MARK, UINT_MAX},
                   {"uid", NEAREST_UID, UINT_MAX},    {"tos", NEAREST_TOS, 255},
                   {"ipproto", NEAREST_IPPROTO, 255}, {"sport", NEAREST_SPORT, 65535},
                   {"dport", NEAREST_DPORT, 65535}};
    for (const auto &k : numbers) {
        if (std::strcmp(w, k.word) != 0)
            continue;
        q->flags |= k.flag;
        switch (k.flag) {
        case NEAREST_OIF:
            q->oif = device_index(value);
            return q->oif != 0;
        default:
            break;
        }
        if (!(k.flag == NEAREST_IPPROTO ? protocol(value, &n) : number(value, k.max, &n)))
            return false;
        const auto v = static_cast<unsigned>(n);
        if (k.flag == NEAREST_MARK)
            q->mark = v;
        else if (k.flag == NEAREST_UID)
            q->uid = v;
        else if (k.flag == NEAREST_TOS)
            q->tos = static_cast<unsigned char>(v);
        else if (k.flag == NEAREST_IPPROTO)
            q->ipproto = static_cast<unsigned char>(v);
        else if (k.flag == NEAREST_SPORT)
            q->sport = static_cast<unsigned short>(v);
        else
            q->dport = static_cast<unsigned short>(v);
        return true;
    }
    return false;
}

// The lines of one read, parsed, then answered together.
struct entry {
    char host[maxhost + 1];
    std::size_t hostlen;
    const char *reply; // the answer when no lookup is needed, else null
    bool bits;         // by leading bits, without netlink
};

constexpr std::size_t batch = 256;
entry entries[batch];
nearest_query queries[batch]; // of the entries to look up, in their order
nearest answers[batch];
int reasons[batch];
std::size_t nentries;
std::size_t nqueries;

// Without netlink: IPv4 by leading bits from the list getif keeps.
void by_bits(const nearest_address &to)
{
    if (to.sa.sa_family != AF_INET) {
        put("- none");
        return;
    }
    const ifreq *r = getif(s, &to.v4.sin_addr);
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

// One line of input as it is read: its first bytes, its length, and whether
// it holds a byte that no line holds. A CR is held back until the next byte
// shows that it does not end the line.
struct Line {
    char text[maxline + 1];
    std::size_t len;
    bool invalid;
    bool cr;
};

Line in;

// Answers the entries parsed so far, in their order: "HOST NAME ADDRESS
// WHY" or "HOST - REASON", logged with -v.
void answer_all()
{
    if (nqueries > 0 && table != nullptr)
        (void)nearest_table_find_many(table, queries, nqueries, answers, reasons);
    for (std::size_t i = 0, k = 0; i < nentries; ++i) {
        const entry &e = entries[i];
        const std::size_t first = outlen;
        if (e.hostlen > 0) {
            put(e.host, e.hostlen);
            put(" ", 1);
        }
        if (e.reply != nullptr) {
            put(e.reply);
        } else if (e.bits) {
            by_bits(queries[k++].to);
        } else if (const nearest &r = answers[k]; reasons[k++] == NEAREST_FOUND) {
            put(r.name);
            put(" ");
            put(text_of(&r));
            put(" ");
            put(r.why);
        } else {
            put("- ");
            put(nearest_reason(reasons[k - 1]));
        }
        if (verbose)
            report(6, "%.*s", static_cast<int>(outlen - first), out + first);
        put("\n");
        if (outlen > sizeof out - maxline - 64)
            flush();
    }
    nentries = nqueries = 0;
}

// A new entry, for a line of host hostlen bytes long (none when 0).
entry &next_entry(const char *host, std::size_t hostlen)
{
    entry &e = entries[nentries++];
    if (hostlen > 0)
        std::memcpy(e.host, host, hostlen);
    e.host[hostlen] = '\0';
    e.hostlen = hostlen;
    e.reply = nullptr;
    e.bits = false;
    return e;
}

// A line answered without a lookup: "HOST why", or why alone without a
// host.
void reply(entry &e, const char *why)
{
    e.reply = why;
}

// Parses text, a line of words, into the next entry.
void parse(char *text)
{
    const char *sep = " \t";
    char *at = nullptr;
    // Most lines are a host alone.
    const std::size_t alone = std::strcspn(text, sep);
    const char *host =
        text[alone] == '\0' && alone > 0 ? text : strtok_r(text, sep, &at);
    const std::size_t hostlen = host == text ? alone : host != nullptr ? std::strlen(host) : 0;
    if (host == nullptr || hostlen > maxhost) {
        reply(next_entry(host, 0), host == nullptr ? "- - empty" : "- - long");
        return;
    }
    entry &e = next_entry(host, hostlen);
    nearest_query &q = queries[nqueries];
    q = nearest_query{};
    q.size = sizeof q;
    answers[nqueries].size = sizeof answers[nqueries];
    for (const char *w; at != nullptr && (w = strtok_r(nullptr, sep, &at)) != nullptr;) {
        const char *value = strtok_r(nullptr, sep, &at);
        if (value == nullptr || !word(w, value, &q)) {
            reply(e, "- invalid");
            return;
        }
    }
    if (!resolve(host, &q.to)) {
        reply(e, "- unknown");
        return;
    }
    e.bits = table == nullptr;
    if (e.bits && q.flags != 0) { // the words need the table
        reply(e, "- none");
        return;
    }
    ++nqueries;
}

void serve()
{
    if (in.len > maxline) {
        reply(next_entry(nullptr, 0), "- - long");
    } else if (in.invalid) {
        reply(next_entry(nullptr, 0), "- - invalid");
    } else {
        in.text[in.len] = '\0';
        parse(in.text);
    }
    in.len = 0; // the text is written before it is read
    in.invalid = in.cr = false;
    if (nentries == batch)
        answer_all();
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
    if (in.len < maxline)
        in.text[in.len] = c;
    in.len += in.len <= maxline ? 1 : 0; // one more than fits marks the line long
    const auto u = static_cast<unsigned char>(c);
    in.invalid = in.invalid || ((u < ' ' && c != '\t') || c == '\x7f');
}

// Takes the bytes of a line before its newline, or the part of it that a
// read holds: a line with a CR a byte at a time, the rest at once.
void take_all(const char *p, std::size_t len)
{
    if (in.cr || std::memchr(p, '\r', len) != nullptr) {
        for (std::size_t i = 0; i < len; ++i)
            take(p[i]);
        return;
    }
    const std::size_t fit = std::min(len, maxline - std::min(in.len, maxline));
    bool bad = false;
    for (std::size_t i = 0; i < len; ++i) { // a line is short: a loop, not a call
        const auto u = static_cast<unsigned char>(p[i]);
        if (i < fit)
            in.text[in.len + i] = p[i];
        bad |= (u < ' ' && u != '\t') || u == 0x7f;
    }
    in.invalid = in.invalid || bad;
    in.len = std::min(in.len + len, maxline + 1); // one more than fits marks the line long
}

// Applies the events queued since the last read, so that no answer predates
// a change announced before its line was read.
void follow()
{
    if (table != nullptr && nearest_table_update(table) == 1)
        report(4, "netlink: events were lost; the table was read anew");
}

// Reads what standard input holds and answers the lines it ends, as one
// batch: 1 while there is more to come, 0 at its end.
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
    for (const char *p = buf, *end = buf + (n > 0 ? n : 0); p < end;) {
        const auto *nl =
            static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        take_all(p, static_cast<std::size_t>((nl != nullptr ? nl : end) - p));
        if (nl == nullptr)
            break;
        serve();
        p = nl + 1;
    }
    answer_all();
    flush();
    return n > 0 ? 1 : 0;
}

void serve_forever()
{
    pollfd fds[2] = {{0, POLLIN, 0}, {table != nullptr ? nearest_table_fd(table) : -1, POLLIN, 0}};
    for (;;) {
        if (wait_in([&fds] { return poll(fds, fds[1].fd >= 0 ? 2 : 1, -1); }) < 0) {
            if (errno == EINTR)
                continue;
            report(3, "poll: %s", get_errmsg());
            _exit(1);
        }
        if (fds[1].fd >= 0 && fds[1].revents != 0)
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

// The table of network namespace netns (a name under /run/netns, or a
// path), or of the daemon's own when it is null, or else getif's list; says
// which in the log. False when the namespace given has no table.
bool start(const char *netns)
{
    int fd = -1;
    if (netns != nullptr) {
        char path[PATH_MAX];
        std::snprintf(path, sizeof path, "%s%s",
                      std::strchr(netns, '/') != nullptr ? "" : "/run/netns/", netns);
        fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            report(3, "%s: %s", path, get_errmsg());
            return false;
        }
    }
    table = nearest_table_open(fd);
    if (fd >= 0)
        close(fd);
    s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (table != nullptr)
        report(6, "following the addresses through netlink");
    else if (netns == nullptr)
        report(5, "answering IPv4 by leading bits from the interface list, IPv6 not at all");
    return table != nullptr || netns == nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    progname = argv[0];
    const bool output = descriptors();
    const char *netns = nullptr;
    for (int c; (c = getopt(argc, argv, "+vd:n:")) != -1;) {
        if (c == 'v') {
            verbose = true;
        } else if (c == 'd') {
            debug = static_cast<int>(std::strtol(optarg, nullptr, 10));
        } else if (c == 'n') {
            netns = optarg;
        } else {
            std::fprintf(stderr, "usage: %s [-v] [-d LEVEL] [-n NETNS] [ADDRESS...]\n", progname);
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
    if (!start(netns))
        return 1;
    for (int i = optind; i < argc; ++i) {
        const bool was = verbose;
        verbose = true;
        char line[maxline + 1];
        std::snprintf(line, sizeof line, "%s", argv[i]);
        parse(line);
        answer_all();
        verbose = was;
        outlen = 0; // into the log only
    }
    serve_forever();
    return 0;
}
