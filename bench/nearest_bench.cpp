// SPDX-License-Identifier: ISC
// nearest_bench NAME [DEST GATEWAY]: in the network namespace bench/run
// made, prints one line of figures for the nearest table there:
//   NAME, routes, addresses, the first fill (ms), a bare dump of the same
//   (ms), resident bytes per route, one lookup (ns), the connect trick on a
//   reused socket (ns), one event (us), one cold lookup (ns), the connect
//   trick for the same (ns)
// and a second line, for a table handle on the same namespace:
//   NAME-threads, a cold lookup in batches of 64 (ns a destination),
//   lookups a second from 1 thread, from 2, and from 1 while another
//   applies 10,000 route changes a second (millions), the changes applied
// and, where the routes go through nexthop objects (a NAME ending in
// -objects), a third:
//   NAME-replace, the update that applies a nexthop replace of object 1,
//   which 100,000 routes use, with nexthop_compat_mode at 0 (us), and at 1
//   (ms: the kernel's route messages overflow the socket, and the table is
//   read anew), and whether DEST, behind object 1, then went via GATEWAY
// Lookups ask 4,096 destinations drawn across the IPv4 space and 2000::/4,
// three IPv4 to one IPv6, again and again; cold ones ask 262,144 such
// destinations once each, so that the table is read from memory rather than
// the cache. The connect trick asks the same ones: connect() a UDP socket,
// then getsockname(). An event is one route added or deleted
// with ip -batch (in 240.0.0.0/16, which no feed holds), applied by
// nearest_update().
#include "nearest.h"
#include "report.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/nexthop.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

const char *progname = "nearest_bench";
int debug;

namespace {

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::nano>(clock_type::now() - start).count();
}

double median(std::vector<double> v)
{
    std::ranges::sort(v);
    return v[v.size() / 2];
}

// The bytes resident: what the table costs, where its calloc'd roots cost
// only the pages it writes.
std::size_t resident()
{
    char line[128] = {};
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr || std::fgets(line, sizeof line, f) == nullptr)
        std::exit(1);
    std::fclose(f);
    char *end = nullptr;
    (void)std::strtoul(line, &end, 10); // the size, then the pages resident
    return std::strtoul(end, nullptr, 10) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// One dump of a kind that only reads the datagrams: what the kernel and the
// socket cost, the floor of a first fill. Counts the messages of type
// counted.
long bare(int type, int counted)
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    struct {
        nlmsghdr h;
        rtmsg body;
    } req{};
    req.h.nlmsg_len = NLMSG_LENGTH(type == RTM_GETNEXTHOP ? sizeof(nhmsg) : sizeof(rtmsg));
    req.h.nlmsg_type = static_cast<std::uint16_t>(type);
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    long n = 0;
    if (fd < 0 || send(fd, &req, sizeof req, 0) < 0)
        std::exit(1);
    static char buf[65536];
    for (bool done = false; !done;) {
        const ssize_t got = recv(fd, buf, sizeof buf, 0);
        if (got <= 0)
            std::exit(1);
        for (std::size_t at = 0; at + sizeof(nlmsghdr) <= static_cast<std::size_t>(got);) {
            nlmsghdr h;
            std::memcpy(&h, buf + at, sizeof h);
            if (h.nlmsg_len < sizeof h)
                break;
            done = done || h.nlmsg_type == NLMSG_DONE || h.nlmsg_type == NLMSG_ERROR;
            n += h.nlmsg_type == counted ? 1 : 0;
            at += NLMSG_ALIGN(h.nlmsg_len);
        }
    }
    close(fd);
    return n;
}

using destination = sockaddr_storage;

std::vector<destination> destinations(std::size_t n)
{
    std::vector<destination> to(n);
    std::minstd_rand draw(7); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same every run
    for (std::size_t i = 0; i < to.size(); ++i) {
        to[i] = {};
        if (i % 4 != 3) {
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(9);
            sin.sin_addr.s_addr =
                htonl((1U << 24) + static_cast<std::uint32_t>(draw() % (222U << 24)));
            std::memcpy(&to[i], &sin, sizeof sin);
        } else {
            sockaddr_in6 sin6{};
            sin6.sin6_family = AF_INET6;
            sin6.sin6_port = htons(9);
            std::ranges::generate(sin6.sin6_addr.s6_addr,
                                  [&draw] { return static_cast<unsigned char>(draw()); });
            sin6.sin6_addr.s6_addr[0] = static_cast<unsigned char>(0x20 | (draw() % 13));
            std::memcpy(&to[i], &sin6, sizeof sin6);
        }
    }
    return to;
}

const sockaddr *as_sockaddr(const destination &d)
{
    return reinterpret_cast<const sockaddr *>(&d);
}

// Lookups of n destinations, in turn; to.size() is a power of two.
double per_lookup(const std::vector<destination> &to, long n)
{
    long found = 0;
    const auto start = clock_type::now();
    for (long i = 0; i < n; ++i)
        found += nearest_find(as_sockaddr(to[static_cast<std::size_t>(i) & (to.size() - 1)]),
                              nullptr) != nullptr
                     ? 1
                     : 0;
    const double ns = since(start) / static_cast<double>(n);
    return found >= 0 ? ns : 0;
}

// What programs do without the module: a UDP socket of each family, kept,
// connected to each destination in turn, then asked its own address.
double per_connect(const std::vector<destination> &to, long n)
{
    const int fd[2] = {socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0),
                       socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    const auto start = clock_type::now();
    for (long i = 0; i < n; ++i) {
        const destination &d = to[static_cast<std::size_t>(i) & (to.size() - 1)];
        const int s = fd[d.ss_family == AF_INET ? 0 : 1];
        const socklen_t len = d.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (connect(s, as_sockaddr(d), len) == 0) {
            sockaddr_storage me{};
            socklen_t melen = sizeof me;
            (void)getsockname(s, reinterpret_cast<sockaddr *>(&me), &melen);
        }
    }
    const double ns = since(start) / static_cast<double>(n);
    close(fd[0]);
    close(fd[1]);
    return ns;
}

// Events: a batch of routes added, then deleted, with ip, each to what
// tail names; the update that applies them, timed. The batch fits the
// socket's queue.
double per_event(const char *tail)
{
    constexpr int batch = 100;
    std::vector<double> each;
    for (int round = 0; round < 10; ++round) {
        for (const char *verb : {"add", "del"}) {
            std::string cmds;
            for (int i = 0; i < batch; ++i)
                cmds.append("route ")
                    .append(verb)
                    .append(" 240.0.")
                    .append(std::to_string(i))
                    .append(".0/24 ")
                    .append(tail)
                    .append("\n");
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
    return median(each);
}

// The queries for destinations to.
std::vector<nearest_query> queries(const std::vector<destination> &to)
{
    std::vector<nearest_query> q(to.size());
    for (std::size_t i = 0; i < to.size(); ++i)
        std::memcpy(&q[i].to, &to[i], sizeof q[i].to);
    return q;
}

// A cold lookup in batches of 64, per destination.
double per_batched(nearest_table *t, const std::vector<nearest_query> &q)
{
    constexpr std::size_t batch = 64;
    std::vector<nearest> answers(batch);
    std::size_t found = 0;
    const auto start = clock_type::now();
    for (std::size_t i = 0; i + batch <= q.size(); i += batch)
        found += nearest_table_find_many(t, &q[i], batch, answers.data(), nullptr);
    const double ns = since(start) / static_cast<double>(q.size());
    return found > 0 ? ns : 0;
}

// Lookups a second, in millions, from each of threads threads for a
// second, over the cold destinations, while busy() runs beside them.
template <typename Busy>
double rate(nearest_table *t, const std::vector<nearest_query> &q, int threads, Busy busy)
{
    std::atomic<bool> stop{false};
    std::atomic<long> done{0};
    std::vector<std::thread> readers;
    readers.reserve(static_cast<std::size_t>(threads));
    for (int k = 0; k < threads; ++k)
        readers.emplace_back([&, k] {
            nearest r{};
            long n = 0;
            for (std::size_t i = static_cast<std::size_t>(k) * 7919;
                 !stop.load(std::memory_order_relaxed); ++n, ++i)
                (void)nearest_table_find(t, &q[i & (q.size() - 1)], &r);
            done.fetch_add(n);
        });
    const auto start = clock_type::now();
    busy(start);
    stop.store(true);
    for (std::thread &r : readers)
        r.join();
    return static_cast<double>(done.load()) / (since(start) / 1e9) / 1e6;
}

// For a second: nothing.
void idle(clock_type::time_point start)
{
    std::this_thread::sleep_until(start + std::chrono::seconds(1));
}

// For a second: 10,000 route changes, 100 every 10 ms, written to ip
// -batch, applied to t as they come. Returns how many were applied.
long changing(nearest_table *t, clock_type::time_point start)
{
    FILE *ip = popen("ip -force -batch - 2>/dev/null", "w"); // NOLINT(cert-env33-c)
    if (ip == nullptr)
        std::exit(1);
    long applied = 0;
    for (int tick = 0; tick < 100; ++tick) {
        for (int i = 0; i < 100; ++i)
            std::fprintf(ip, "route %s 240.1.%d.0/24 dev lo\n", tick % 2 == 0 ? "add" : "del", i);
        std::fflush(ip);
        const auto next = start + std::chrono::milliseconds(10 * (tick + 1));
        while (clock_type::now() < next) {
            pollfd p{nearest_table_fd(t), POLLIN, 0};
            (void)poll(&p, 1, 1);
            (void)nearest_table_update(t);
        }
        applied += 100;
    }
    pclose(ip);
    (void)nearest_table_update(t);
    return applied;
}

// The gateway t names for dest, or "-".
std::string gateway_of(nearest_table *t, const char *dest)
{
    nearest_query q{};
    q.to.v4.sin_family = AF_INET;
    inet_pton(AF_INET, dest, &q.to.v4.sin_addr);
    nearest r{};
    char text[INET6_ADDRSTRLEN] = "-";
    if (nearest_table_find(t, &q, &r) == NEAREST_FOUND && r.gateway_family != 0)
        inet_ntop(r.gateway_family, &r.gateway, text, sizeof text);
    return text;
}

// Object 1 replaced, to go via gateway, with the kernel's
// nexthop_compat_mode at compat: the update that applies it, timed (ns).
double per_replace(nearest_table *t, int compat, const char *gateway)
{
    FILE *mode = std::fopen("/proc/sys/net/ipv4/nexthop_compat_mode", "w");
    if (mode == nullptr || std::fprintf(mode, "%d\n", compat) < 0 || std::fclose(mode) != 0)
        std::exit(1);
    (void)nearest_table_update(t);
    const std::string cmd = std::string("ip nexthop replace id 1 via ") + gateway + " dev up0";
    if (std::system(cmd.c_str()) != 0) // NOLINT(cert-env33-c): ip is what we want
        std::exit(1);
    const auto start = clock_type::now();
    if (nearest_table_update(t) < 0)
        std::exit(1);
    return since(start);
}

} // namespace

// cppcheck-suppress constParameter
int main(int argc, char *argv[])
{
    const char *name = argc > 1 ? argv[1] : "host";
    const std::size_t before = resident();
    std::vector<double> fills;
    std::size_t held = 0;
    for (int i = 0; i < 3; ++i) {
        const auto start = clock_type::now();
        if (nearest_open() < 0)
            return 1;
        fills.push_back(since(start) / 1e6);
        held = std::max(held, resident() - before);
    }
    std::vector<double> dumps;
    long routes = 0;
    long addresses = 0;
    for (int i = 0; i < 3; ++i) {
        const auto start = clock_type::now();
        bare(RTM_GETLINK, RTM_NEWLINK);
        addresses = bare(RTM_GETADDR, RTM_NEWADDR);
        bare(RTM_GETNEXTHOP, RTM_NEWNEXTHOP);
        routes = bare(RTM_GETROUTE, RTM_NEWROUTE);
        bare(RTM_GETRULE, RTM_NEWRULE);
        dumps.push_back(since(start) / 1e6);
    }
    const std::vector<destination> warm = destinations(4096);
    const std::vector<destination> cold = destinations(262144);
    const double lookup = per_lookup(warm, 4000000);
    const double trick = per_connect(warm, 200000);
    const double cold_lookup = per_lookup(cold, static_cast<long>(cold.size()));
    const double cold_trick = per_connect(cold, static_cast<long>(cold.size()));
    const bool objects = std::string(name).ends_with("-objects") && argc > 3;
    const double event = per_event(objects ? "nhid 2" : "dev lo") / 1000;
    std::printf("%s %ld %ld %.1f %.1f %.1f %.1f %.0f %.2f %.1f %.0f\n", name, routes, addresses,
                median(fills), median(dumps),
                static_cast<double>(held) / static_cast<double>(routes), lookup, trick, event,
                cold_lookup, cold_trick);
    nearest_table *t = nearest_table_open(-1);
    if (t == nullptr)
        return 1;
    const std::vector<nearest_query> q = queries(cold);
    const double batched = per_batched(t, q);
    const double one = rate(t, q, 1, idle);
    const double two = rate(t, q, 2, idle);
    long changes = 0;
    const double busy =
        rate(t, q, 1, [&](clock_type::time_point start) { changes = changing(t, start); });
    std::printf("%s-threads %.1f %.2f %.2f %.2f %ld\n", name, batched, one, two, busy, changes);
    if (objects) {
        const std::string was = gateway_of(t, argv[2]);
        const double quiet = per_replace(t, 0, argv[3]);
        const bool moved = gateway_of(t, argv[2]) == argv[3];
        const double loud = per_replace(t, 1, was.c_str());
        const bool back = gateway_of(t, argv[2]) == was;
        std::printf("%s-replace %.1f %.1f %s\n", name, quiet / 1000, loud / 1e6,
                    moved && back ? "moved" : "stayed");
    }
    nearest_table_close(t);
    return 0;
}
