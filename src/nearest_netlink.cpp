// SPDX-License-Identifier: ISC
// The netlink side of the nearest module: a table's rtnetlink socket, made
// in the table's network namespace and subscribed to the changes of links,
// addresses, neighbours, nexthop objects, routes and rules of both families;
// the dumps that fill a copy
// of the state; and the decoding of each message, read once into a plain
// change that the state applies.
#include "nearest.h"
#include "nearest_state.h"

#include "report.h"

#include <linux/fib_rules.h>
#include <fcntl.h>
#include <linux/if_addr.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/nexthop.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

namespace nearest_internal {
namespace {

// --- Messages into changes

// The kernel's NLMSG_* and RTA_* macros cast in C's way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wcast-qual"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wcast-align"

// Indexes the attributes after a message's header by type, as iproute2's
// parse_rtattr does; a later one of a type wins.
void attributes(const rtattr **table, int max, const nlmsghdr *h, std::size_t header)
{
    for (int i = 0; i <= max; ++i)
        table[i] = nullptr;
    const std::size_t start = NLMSG_LENGTH(header);
    int len = static_cast<int>(h->nlmsg_len) - static_cast<int>(NLMSG_ALIGN(start));
    const auto *a =
        reinterpret_cast<const rtattr *>(reinterpret_cast<const char *>(h) + NLMSG_ALIGN(start));
    for (; RTA_OK(a, len); a = RTA_NEXT(a, len))
        if (a->rta_type <= max)
            table[a->rta_type] = a;
}

// A message's fixed header, when the message is long enough to hold it.
template <typename T> bool fixed_part(const nlmsghdr *h, T *out)
{
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(T)))
        return false;
    std::memcpy(out, NLMSG_DATA(h), sizeof(T));
    return true;
}

bool link_change(const nlmsghdr *h, change *c)
{
    ifinfomsg ifi;
    if (!fixed_part(h, &ifi))
        return false;
    // Bridge ports are announced again under AF_BRIDGE, and leave a
    // bridge with an RTM_DELLINK that deletes no device.
    if (ifi.ifi_family != AF_UNSPEC || ifi.ifi_index <= 0)
        return false;
    const rtattr *tb[IFLA_MAX + 1];
    attributes(tb, IFLA_MAX, h, sizeof ifi);
    c->index = ifi.ifi_index;
    c->flags = ifi.ifi_flags;
    if (const rtattr *g = tb[IFLA_GROUP]; g != nullptr && RTA_PAYLOAD(g) == sizeof(u32))
        std::memcpy(&c->group, RTA_DATA(g), sizeof(u32));
    if (const rtattr *name = tb[IFLA_IFNAME]) {
        std::size_t n = RTA_PAYLOAD(name);
        n = n < IF_NAMESIZE - 1 ? n : IF_NAMESIZE - 1;
        std::memcpy(c->name, RTA_DATA(name), n);
        c->name[n] = '\0';
    }
    return true;
}

std::size_t bytes(int s)
{
    return s == v4 ? 4 : 16;
}

// Copies an address attribute that has the family's size.
bool address(u8 *to, const rtattr *a, int s)
{
    if (a == nullptr || RTA_PAYLOAD(a) != bytes(s))
        return false;
    std::memcpy(to, RTA_DATA(a), bytes(s));
    return true;
}

// A 32-bit attribute, or otherwise.
u32 number(const rtattr *a, u32 otherwise)
{
    if (a == nullptr || RTA_PAYLOAD(a) != sizeof(u32))
        return otherwise;
    u32 n = 0;
    std::memcpy(&n, RTA_DATA(a), sizeof n);
    return n;
}

int slot_of(int family)
{
    return family == AF_INET ? v4 : family == AF_INET6 ? v6 : -1;
}

bool address_change(const nlmsghdr *h, change *c)
{
    ifaddrmsg ifa;
    if (!fixed_part(h, &ifa))
        return false;
    if (ifa.ifa_family != AF_INET && ifa.ifa_family != AF_INET6)
        return false;
    c->slot = ifa.ifa_family == AF_INET ? v4 : v6;
    if (ifa.ifa_prefixlen > bits(c->slot) || ifa.ifa_index == 0 || ifa.ifa_index > INT_MAX)
        return false;
    const rtattr *tb[IFA_MAX + 1];
    attributes(tb, IFA_MAX, h, sizeof ifa);
    // IFA_LOCAL is the local end of a point-to-point address and IFA_ADDRESS
    // its peer; an ordinary address has IFA_ADDRESS, and for IPv4 both.
    const rtattr *local = tb[IFA_LOCAL] != nullptr ? tb[IFA_LOCAL] : tb[IFA_ADDRESS];
    const rtattr *peer = tb[IFA_ADDRESS] != nullptr ? tb[IFA_ADDRESS] : tb[IFA_LOCAL];
    if (!address(c->local, local, c->slot) || !address(c->peer, peer, c->slot))
        return false;
    c->index = static_cast<int>(ifa.ifa_index);
    c->len = ifa.ifa_prefixlen;
    c->scope = ifa.ifa_scope;
    c->flags = ifa.ifa_flags;
    if (const rtattr *f = tb[IFA_FLAGS]; f != nullptr && RTA_PAYLOAD(f) == sizeof(std::uint32_t))
        std::memcpy(&c->flags, RTA_DATA(f), sizeof(std::uint32_t));
    return true;
}

// A neighbour entry of IPv4 or IPv6 (ARP, NDP), not a proxy one.
bool neighbour_change(const nlmsghdr *h, change *c)
{
    ndmsg nd;
    if (!fixed_part(h, &nd) || (nd.ndm_flags & NTF_PROXY) != 0)
        return false;
    c->slot = slot_of(nd.ndm_family);
    if (c->slot < 0 || nd.ndm_ifindex <= 0)
        return false;
    const rtattr *tb[NDA_MAX + 1];
    attributes(tb, NDA_MAX, h, sizeof nd);
    c->index = nd.ndm_ifindex;
    c->flags = nd.ndm_state;
    return address(c->local, tb[NDA_DST], c->slot);
}

// A nexthop's gateway, from RTA_GATEWAY (of the route's family) or RTA_VIA.
void gateway(nexthop *n, const rtattr *gw, const rtattr *via, int s)
{
    n->gwslot = -1;
    if (address(n->gateway, gw, s)) {
        n->gwslot = s;
    } else if (via != nullptr && RTA_PAYLOAD(via) >= sizeof(rtvia)) {
        rtvia v;
        std::memcpy(&v, RTA_DATA(via), sizeof v);
        const int vs = slot_of(v.rtvia_family);
        if (vs >= 0 && RTA_PAYLOAD(via) == sizeof v + bytes(vs)) {
            std::memcpy(n->gateway, static_cast<const char *>(RTA_DATA(via)) + sizeof v, bytes(vs));
            n->gwslot = vs;
        }
    }
}

// The nexthops of a multipath route, as many as are kept.
void multipath(change *c, const rtattr *mp)
{
    int left = static_cast<int>(RTA_PAYLOAD(mp));
    const auto *nh = static_cast<const rtnexthop *>(RTA_DATA(mp));
    for (; RTNH_OK(nh, left) && c->nhops < maxhops;
         left -= NLMSG_ALIGN(nh->rtnh_len), nh = RTNH_NEXT(nh)) {
        nexthop &n = c->hops[c->nhops++];
        n.oif = nh->rtnh_ifindex;
        const rtattr *gw = nullptr;
        const rtattr *via = nullptr;
        int alen = static_cast<int>(nh->rtnh_len) - static_cast<int>(sizeof *nh);
        for (const rtattr *a = RTNH_DATA(nh); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
            if (a->rta_type == RTA_GATEWAY)
                gw = a;
            else if (a->rta_type == RTA_VIA)
                via = a;
        }
        gateway(&n, gw, via, c->slot);
    }
}

bool route_change(const nlmsghdr *h, change *c)
{
    rtmsg rtm;
    if (!fixed_part(h, &rtm))
        return false;
    c->slot = slot_of(rtm.rtm_family);
    // Cached routes are not the table's; IPv4 has no source-specific ones.
    if (c->slot < 0 || rtm.rtm_dst_len > bits(c->slot) || rtm.rtm_src_len > bits(c->slot) ||
        (c->slot == v4 && rtm.rtm_src_len != 0) || (rtm.rtm_flags & RTM_F_CLONED) != 0 ||
        rtm.rtm_type == RTN_UNSPEC)
        return false;
    const rtattr *tb[RTA_MAX + 1];
    attributes(tb, RTA_MAX, h, sizeof rtm);
    if (tb[RTA_DST] != nullptr && !address(c->local, tb[RTA_DST], c->slot))
        return false;
    c->len = rtm.rtm_dst_len;
    c->srclen = rtm.rtm_src_len;
    if (c->srclen > 0 && !address(c->src, tb[RTA_SRC], c->slot))
        return false;
    c->table = number(tb[RTA_TABLE], rtm.rtm_table);
    c->tos = rtm.rtm_tos;
    c->protocol = rtm.rtm_protocol;
    c->scope = rtm.rtm_scope;
    c->rtype = rtm.rtm_type;
    c->metric = number(tb[RTA_PRIORITY], 0);
    c->has_prefsrc = address(c->prefsrc, tb[RTA_PREFSRC], c->slot);
    // The local route to an address names the address as its source: the
    // destination itself, so it says nothing, and a hundred thousand of
    // them share one nexthop without it.
    if (c->rtype == RTN_LOCAL && c->len == bits(c->slot) && c->has_prefsrc &&
        std::memcmp(c->prefsrc, c->local, 16) == 0) {
        c->has_prefsrc = false;
        std::memset(c->prefsrc, 0, sizeof c->prefsrc);
    }
    if (tb[RTA_NH_ID] != nullptr) {
        // Through a nexthop object, whatever else a message in the
        // kernel's compatible mode says of it. The kernel names the routes
        // through a blackhole object blackholes, until the object changes
        // without a word to them: the object says what they are.
        c->object = number(tb[RTA_NH_ID], 0);
        if (c->rtype == RTN_BLACKHOLE)
            c->rtype = RTN_UNICAST;
        return c->object != 0 && c->srclen == 0; // the kernel refuses one from a source
    }
    if (tb[RTA_MULTIPATH] != nullptr) {
        multipath(c, tb[RTA_MULTIPATH]);
    } else {
        c->nhops = 1;
        c->hops[0].oif = static_cast<int>(number(tb[RTA_OIF], 0));
        gateway(&c->hops[0], tb[RTA_GATEWAY], tb[RTA_VIA], c->slot);
    }
    return c->nhops > 0;
}

// A nexthop object: a group of others, a blackhole, or a gateway and a
// device. One that carries bridge entries (fdb) serves no route.
bool nexthop_change(const nlmsghdr *h, change *c)
{
    nhmsg nhm;
    if (!fixed_part(h, &nhm))
        return false;
    const rtattr *tb[NHA_MAX + 1];
    attributes(tb, NHA_MAX, h, sizeof nhm);
    c->object = number(tb[NHA_ID], 0);
    if (c->object == 0 || c->type == RTM_DELNEXTHOP)
        return c->object != 0;
    c->kind = object_unknown;
    if (const rtattr *g = tb[NHA_GROUP]) {
        std::uint16_t type = NEXTHOP_GRP_TYPE_MPATH;
        if (const rtattr *t = tb[NHA_GROUP_TYPE]; t != nullptr && RTA_PAYLOAD(t) == sizeof type)
            std::memcpy(&type, RTA_DATA(t), sizeof type);
        if ((type == NEXTHOP_GRP_TYPE_MPATH || type == NEXTHOP_GRP_TYPE_RES) &&
            tb[NHA_FDB] == nullptr)
            c->kind = object_group;
        c->resilient = type == NEXTHOP_GRP_TYPE_RES;
        const auto *members = static_cast<const char *>(RTA_DATA(g));
        for (std::size_t i = 0;
             i < RTA_PAYLOAD(g) / sizeof(nexthop_grp) && c->nmembers < maxmembers; ++i)
            std::memcpy(&c->members[c->nmembers++], members + (i * sizeof(nexthop_grp)),
                        sizeof(u32));
        return true;
    }
    if (tb[NHA_BLACKHOLE] != nullptr) {
        c->kind = object_blackhole;
        return true;
    }
    c->slot = slot_of(nhm.nh_family);
    if (c->slot < 0 || tb[NHA_FDB] != nullptr || tb[NHA_OIF] == nullptr)
        return true;
    c->kind = object_single;
    c->nhops = 1;
    c->hops[0].oif = static_cast<int>(number(tb[NHA_OIF], 0));
    c->hops[0].gwslot = address(c->hops[0].gateway, tb[NHA_GATEWAY], c->slot) ? c->slot : -1;
    return true;
}

// Attributes newer than these headers: a port range's mask, which the
// kernel sends with every port selector since 6.16.
constexpr int fra_sport_mask = 28;
constexpr int fra_dport_mask = 29;

// Whether a rule carries a selector newer than these headers, such as DSCP
// or a flow label: one this module cannot weigh, so the rule is taken as
// not selecting the packet rather than guessed.
bool newer_selector(const nlmsghdr *h, std::size_t header)
{
    int len = static_cast<int>(h->nlmsg_len) - static_cast<int>(NLMSG_ALIGN(NLMSG_LENGTH(header)));
    const auto *a = reinterpret_cast<const rtattr *>(reinterpret_cast<const char *>(h) +
                                                     NLMSG_ALIGN(NLMSG_LENGTH(header)));
    for (; RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        const int type = a->rta_type & NLA_TYPE_MASK;
        if (type > FRA_DPORT_RANGE && type != fra_sport_mask && type != fra_dport_mask)
            return true;
    }
    return false;
}

// The name of a rule's device, or an empty one.
void rule_device(char *to, const rtattr *a)
{
    if (a == nullptr)
        return;
    std::size_t n = RTA_PAYLOAD(a);
    n = n < IF_NAMESIZE - 1 ? n : IF_NAMESIZE - 1;
    std::memcpy(to, RTA_DATA(a), n);
    to[n] = '\0';
}

// A rule's port range and mask, or zeros.
void ports(u32 *range, const rtattr *a, const rtattr *mask)
{
    if (a == nullptr || RTA_PAYLOAD(a) != sizeof(fib_rule_port_range))
        return;
    fib_rule_port_range p;
    std::memcpy(&p, RTA_DATA(a), sizeof p);
    range[0] = p.start;
    range[1] = p.end;
    if (mask != nullptr && RTA_PAYLOAD(mask) == sizeof(std::uint16_t)) {
        std::uint16_t m = 0;
        std::memcpy(&m, RTA_DATA(mask), sizeof m);
        range[2] = m;
    }
}

bool rule_change(const nlmsghdr *h, change *c)
{
    fib_rule_hdr frh;
    if (!fixed_part(h, &frh))
        return false;
    c->slot = slot_of(frh.family);
    if (c->slot < 0 || frh.dst_len > bits(c->slot) || frh.src_len > bits(c->slot))
        return false;
    const rtattr *tb[fra_dport_mask + 1];
    attributes(tb, fra_dport_mask, h, sizeof frh);
    rule &r = c->r;
    r.priority = number(tb[FRA_PRIORITY], 0);
    r.table = number(tb[FRA_TABLE], frh.table);
    r.target = number(tb[FRA_GOTO], 0);
    r.action = frh.action;
    r.invert = (frh.flags & FIB_RULE_INVERT) != 0;
    r.srclen = frh.src_len;
    r.dstlen = frh.dst_len;
    if ((r.srclen > 0 && !address(r.src, tb[FRA_SRC], c->slot)) ||
        (r.dstlen > 0 && !address(r.dst, tb[FRA_DST], c->slot)))
        return false;
    r.tos = frh.tos;
    r.mark = number(tb[FRA_FWMARK], 0);
    r.mask = number(tb[FRA_FWMASK], r.mark != 0 ? 0xffffffffU : 0);
    rule_device(r.iif, tb[FRA_IIFNAME]);
    rule_device(r.oif, tb[FRA_OIFNAME]);
    r.uidlo = 0;
    r.uidhi = 0xffffffffU;
    if (const rtattr *u = tb[FRA_UID_RANGE];
        u != nullptr && RTA_PAYLOAD(u) == sizeof(fib_rule_uid_range)) {
        fib_rule_uid_range range;
        std::memcpy(&range, RTA_DATA(u), sizeof range);
        r.uidlo = range.start;
        r.uidhi = range.end;
    }
    if (const rtattr *p = tb[FRA_IP_PROTO]; p != nullptr && RTA_PAYLOAD(p) == 1)
        r.ipproto = *static_cast<const u8 *>(RTA_DATA(p));
    ports(r.sport, tb[FRA_SPORT_RANGE], tb[fra_sport_mask]);
    ports(r.dport, tb[FRA_DPORT_RANGE], tb[fra_dport_mask]);
    // Selectors that only a packet from a tunnel or of an L3 master device
    // meets.
    r.needs = number(tb[FRA_TUN_ID], 0) != 0 || tb[FRA_L3MDEV] != nullptr ||
              newer_selector(h, sizeof frh);
    r.plain = r.srclen == 0 && r.dstlen == 0 && r.tos == 0 && r.mask == 0 && r.iif[0] == '\0' &&
              r.oif[0] == '\0' && r.uidlo == 0 && r.uidhi == 0xffffffffU && r.ipproto == 0 &&
              r.sport[0] == 0 && r.dport[0] == 0 && !r.needs;
    r.suppress_len = static_cast<int>(number(tb[FRA_SUPPRESS_PREFIXLEN], 0xffffffffU));
    const u32 group = number(tb[FRA_SUPPRESS_IFGROUP], 0xffffffffU);
    r.suppress_group = group == 0xffffffffU ? -1 : static_cast<long>(group);
    return true;
}

// The plain record of a message, or false for one the table does not keep.
bool decode(const nlmsghdr *h, change *c)
{
    *c = change{};
    c->type = h->nlmsg_type;
    c->nlflags = h->nlmsg_flags;
    switch (h->nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK:
        return link_change(h, c);
    case RTM_NEWADDR:
    case RTM_DELADDR:
        return address_change(h, c);
    case RTM_NEWROUTE:
    case RTM_DELROUTE:
        return route_change(h, c);
    case RTM_NEWRULE:
    case RTM_DELRULE:
        return rule_change(h, c);
    case RTM_NEWNEXTHOP:
    case RTM_DELNEXTHOP:
        return nexthop_change(h, c);
    case RTM_NEWNEIGH:
    case RTM_DELNEIGH:
        return neighbour_change(h, c);
    default:
        return false;
    }
}

} // namespace

int feed(state &st, const void *datagram, std::size_t len, bool quiet)
{
    int seen = 0;
    int left = len < INT_MAX ? static_cast<int>(len) : INT_MAX;
    const auto *h = static_cast<const nlmsghdr *>(datagram);
    for (; NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if ((h->nlmsg_flags & NLM_F_DUMP_INTR) != 0)
            seen |= NEAREST_INTR;
        if (h->nlmsg_type == NLMSG_DONE) {
            seen |= NEAREST_DONE;
        } else if (h->nlmsg_type == NLMSG_ERROR) {
            nlmsgerr err{};
            if (h->nlmsg_len >= NLMSG_LENGTH(sizeof err))
                std::memcpy(&err, NLMSG_DATA(h), sizeof err);
            if (err.error != 0) { // the kernel's errors are small and negative
                errno = err.error < 0 && err.error > -4096 ? -err.error : EPROTO;
                seen |= NEAREST_ERROR;
            }
        } else if (change c{}; decode(h, &c)) {
            apply(st, c, quiet);
        }
    }
    return seen;
}

#pragma GCC diagnostic pop

namespace {

// --- The socket

// Asks for a dump of one kind, of every family.
bool ask(rtnl &l, int type)
{
    struct {
        nlmsghdr h;
        ifinfomsg body; // zeros: family 0, every family; the largest header
    } req{};
    constexpr u32 linkhdr = sizeof(ifinfomsg);
    constexpr u32 addr = sizeof(ifaddrmsg);
    constexpr u32 route = sizeof(rtmsg);
    constexpr u32 rule = sizeof(fib_rule_hdr);
    constexpr u32 nexthop = sizeof(nhmsg);
    constexpr u32 neighbour = sizeof(ndmsg);
    const u32 header = type == RTM_GETLINK      ? linkhdr
                       : type == RTM_GETADDR    ? addr
                       : type == RTM_GETROUTE   ? route
                       : type == RTM_GETNEXTHOP ? nexthop
                       : type == RTM_GETNEIGH   ? neighbour
                                                : rule;
    req.h.nlmsg_len = NLMSG_LENGTH(header);
    req.h.nlmsg_type = static_cast<std::uint16_t>(type);
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.h.nlmsg_seq = ++l.seq;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return sendto(l.fd, &req, req.h.nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel),
                  sizeof kernel) >= 0;
}

// Reads until the dump asked for ends, applying to st the events that come
// between its parts: NEAREST_DONE, with NEAREST_INTR if the kernel said so;
// 0 when the queue overflowed; -1 when the socket failed.
int await(rtnl &l, state &st)
{
    int seen = 0;
    while ((seen & NEAREST_DONE) == 0) {
        long n = 0;
        const got g = receive(l, &n);
        if (g == got::lost)
            return 0;
        if (g == got::failed)
            return -1;
        if (g == got::nothing) {
            pollfd p{l.fd, POLLIN, 0};
            if (poll(&p, 1, 10000) == 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            continue;
        }
        seen |= feed(st, l.buffer, static_cast<std::size_t>(n), false);
        if ((seen & NEAREST_ERROR) != 0)
            return -1;
    }
    return seen;
}

// The socket, made in the thread that runs this: in netns when it is not -1.
struct making {
    int netns;
    int fd;
    int error;
    const char *what;
    int sysctl; // the namespace's net.ipv4.fib_multipath_use_neigh, or -1
};

void *make_socket(void *arg)
{
    auto *m = static_cast<making *>(arg);
    m->fd = -1;
    if (m->netns >= 0 && setns(m->netns, CLONE_NEWNET) != 0) {
        m->error = errno;
        m->what = "setns";
        return nullptr;
    }
    m->fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    m->error = errno;
    m->what = "netlink socket";
    // /proc/sys/net shows the namespace of the thread that opens it; an open
    // file goes on showing that one. Without it, the sysctl reads as unset.
    if (m->fd >= 0)
        m->sysctl = open("/proc/sys/net/ipv4/fib_multipath_use_neigh", O_RDONLY | O_CLOEXEC);
    return nullptr;
}

// A socket of another namespace is made by a thread of its own: setns
// moves only the thread that calls it, and a socket keeps the namespace it
// was made in, so no thread of the caller's ever leaves its own.
int socket_in(int netns, int *sysctl)
{
    making m{netns, -1, 0, "netlink socket", -1};
    if (netns < 0) {
        make_socket(&m);
    } else {
        pthread_t helper;
        if (const int failed = pthread_create(&helper, nullptr, make_socket, &m); failed != 0) {
            m.error = failed;
            m.what = "pthread_create";
        } else {
            pthread_join(helper, nullptr);
        }
    }
    if (m.fd < 0) {
        errno = m.error;
        report(3, "%s: %s", m.what, get_errmsg());
    }
    *sysctl = m.sysctl;
    return m.fd;
}

// One dump of a kind, as await() answers; a kernel without nexthop
// objects refuses their dump, and has none.
int dump(rtnl &l, state &st, int kind)
{
    const int seen = ask(l, kind) ? await(l, st) : -1;
    if (seen < 0 && kind == RTM_GETNEXTHOP && (errno == EOPNOTSUPP || errno == EINVAL))
        return NEAREST_DONE;
    return seen;
}

} // namespace

bool use_neigh(const rtnl &l)
{
    char value[4] = {};
    return l.use_neigh >= 0 && pread(l.use_neigh, value, sizeof value, 0) > 0 && value[0] != '0';
}

got receive(rtnl &l, long *n)
{
    for (;;) {
        sockaddr_nl from{};
        socklen_t fromlen = sizeof from;
        *n = recvfrom(l.fd, l.buffer, sizeof l.buffer, MSG_DONTWAIT | MSG_TRUNC,
                      reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (*n < 0 && errno == EINTR)
            continue;
        if (*n < 0)
            return errno == EAGAIN ? got::nothing : errno == ENOBUFS ? got::lost : got::failed;
        if (static_cast<std::size_t>(*n) > sizeof l.buffer)
            return got::lost; // cut short: some messages were not read
        if (from.nl_pid == 0) // only the kernel speaks for the kernel
            return got::some;
    }
}

// A fresh state from one dump each of links, addresses, nexthop objects
// (of every family: one of a family leaves the groups out), routes and
// rules, after the events still queued are thrown away: they predate the
// dumps.
bool load(rtnl &l, state &st)
{
    static const int kinds[] = {RTM_GETLINK,  RTM_GETADDR,  RTM_GETNEIGH,
                                RTM_GETNEXTHOP, RTM_GETROUTE, RTM_GETRULE};
    for (int tries = 0; tries < 5; ++tries) {
        long n = 0;
        got g;
        while ((g = receive(l, &n)) == got::some || g == got::lost)
            ;
        clear_state(st);
        st.use_neigh = use_neigh(l);
        int seen = NEAREST_DONE;
        for (const int kind : kinds) {
            const int one = dump(l, st, kind);
            if (one < 0) {
                report(3, "netlink dump: %s", get_errmsg());
                return false;
            }
            seen = one == 0 ? 0 : seen | one;
            if (one == 0)
                break;
        }
        if (seen != 0 && (seen & NEAREST_INTR) == 0)
            return true;
    }
    report(4, "netlink dump: interrupted again and again; the table may be stale");
    return true;
}

bool link_open(rtnl &l, int netns)
{
    l.fd = socket_in(netns, &l.use_neigh);
    if (l.fd < 0)
        return false;
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    static_assert(RTNLGRP_NEXTHOP <= 32, "a group of the first 32");
    sa.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_NEIGH |
                   RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_RULE |
                   (1U << (RTNLGRP_IPV6_RULE - 1)) | (1U << (RTNLGRP_NEXTHOP - 1));
    // Room for a burst of route changes; the kernel caps it at rmem_max.
    const int room = 4 << 20;
    (void)setsockopt(l.fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    if (bind(l.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0)
        return true;
    report(3, "netlink socket: %s", get_errmsg());
    close(l.fd);
    l.fd = -1;
    return false;
}

} // namespace nearest_internal
