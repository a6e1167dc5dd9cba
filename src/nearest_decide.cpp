// SPDX-License-Identifier: ISC
// The decision: for a packet this host would send to a destination, with no
// source address, mark 0, this process's uid, incoming interface lo, TOS 0
// and no protocol or ports, the kernel's output route and source address.
// The policy rules in their order choose the tables; in a table the longest
// prefix, then the lowest metric, gives the route; the route's preferred
// source, or the kernel's choice of one, gives the address. Reads the state
// only: no system call, no allocation.
#include "nearest.h"
#include "nearest_state.h"

#include <linux/fib_rules.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstring>

namespace nearest_internal {
namespace {

struct query {
    int slot;
    u8 key[16];
    int oif; // the device a link-local IPv6 destination is on, or 0
};

// How a table, or the rules, answered.
enum class verdict : u8 { found, next, reject, unfollowed };

struct result {
    verdict v;
    u32 table;
    const route *chosen; // the route that answered, or null
    u32 hop;
    int len; // of the prefix that answered
};

// --- Policy rules

// The loopback device: index 1 in every network namespace.
const device *loopback_device()
{
    return find_device(1);
}

bool is_loopback(const char *name)
{
    const device *lo = loopback_device();
    return lo != nullptr && std::strcmp(name, lo->name) == 0;
}

// Whether rule r selects the packet. Its source is no address, which only
// a prefix of zeros holds; its incoming interface is lo, by index.
bool selects(const rule &r, const query &q)
{
    static const u8 zero[16] = {};
    const bool m = same_bits(r.src, zero, r.srclen) && same_bits(r.dst, q.key, r.dstlen) &&
                   r.tos == 0 && (r.mark & r.mask) == 0 && r.oif[0] == '\0' && uid >= r.uidlo &&
                   uid <= r.uidhi && !r.needs && (r.iif[0] == '\0' || is_loopback(r.iif));
    return m != r.invert;
}

hop &fresh(u32 h);

// The device of a nexthop, or null.
const device *device_of(u32 h)
{
    const u32 at = fresh(h).device;
    return at != none ? &st.devices[at] : nullptr;
}

// Whether a rule's suppressor turns down the answer of its table.
bool suppressed(const rule &r, const result &x)
{
    if (x.len <= r.suppress_len)
        return true;
    if (r.suppress_group < 0 || x.hop == none)
        return false;
    const device *d = device_of(x.hop);
    return d != nullptr && d->group == static_cast<u32>(r.suppress_group);
}

// --- Routes

// Whether a nexthop can carry the packet: its device up, unless the route
// is of host scope, which the kernel keeps alive on a device that is down.
bool alive(u32 h, const route &x, const query &q)
{
    const nexthop &n = st.hops[h].nh;
    if (q.oif != 0 && n.oif != q.oif)
        return false;
    if ((x.flags & route_host) != 0)
        return true;
    const device *d = device_of(h);
    return d != nullptr && (d->flags & IFF_UP) != 0;
}

// The first nexthop of route x that can carry the packet, or none.
u32 carrier(const route &x, const query &q)
{
    return find_hop(x, [&](u32 h) { return alive(h, x, q); });
}

// The routes of one prefix, in the kernel's order: the first of TOS 0 that
// can carry the packet answers; a reject or throw route answers as such.
result in_prefix(const route &first, const query &q)
{
    for (const route *r = &first; r != nullptr; r = next_route(*r)) {
        const route &x = *r;
        if (x.tos != 0)
            continue;
        switch (x.type) {
        case RTN_THROW:
            return {verdict::next, 0, r, none, 0};
        case RTN_BLACKHOLE:
        case RTN_UNREACHABLE:
        case RTN_PROHIBIT:
            return {verdict::reject, 0, r, none, 0};
        default:
            break;
        }
        if (x.hop == none)
            return {verdict::unfollowed, 0, r, none, 0};
        if (const u32 h = carrier(x, q); h != none)
            return {verdict::found, 0, r, h, 0};
    }
    return {verdict::next, 0, nullptr, none, 0};
}

// The longest prefix of the table that holds the destination and has a
// route for the packet; a shorter one where a longer one has none.
template <typename Prefixes> result in_table(const Prefixes &t, const query &q)
{
    for (u32 p = t.match(q.key); p != none; p = t.shorter(q.key, t.prefix_len(p))) {
        result x = in_prefix(t.value(p), q);
        x.len = t.prefix_len(p);
        if (x.v != verdict::next || x.chosen != nullptr)
            return x;
    }
    return {verdict::next, 0, nullptr, none, 0};
}

result lookup(u32 id, const query &q)
{
    const table *t = find_table(id);
    if (t == nullptr)
        return {verdict::next, id, nullptr, none, 0};
    result x = q.slot == v4 ? in_table(t->v4, q) : in_table(t->v6, q);
    x.table = id;
    return x;
}

// The rules in their order: the first table that answers, or a rule or
// route that rejects.
result decide(const query &q)
{
    const rule_list &list = st.rules[q.slot];
    for (u32 i = 0; i < list.n;) {
        const rule &r = list.list[i];
        if (!selects(r, q)) {
            ++i;
            continue;
        }
        switch (r.action) {
        case FR_ACT_TO_TBL: {
            const result x = lookup(r.table, q);
            if (x.v == verdict::found && suppressed(r, x))
                break;
            if (x.v != verdict::next)
                return x;
            break;
        }
        case FR_ACT_GOTO: {
            u32 j = i + 1;
            while (j < list.n && list.list[j].priority != r.target)
                ++j;
            if (j < list.n) { // an unresolved goto goes on
                i = j;
                continue;
            }
            break;
        }
        case FR_ACT_BLACKHOLE:
        case FR_ACT_UNREACHABLE:
        case FR_ACT_PROHIBIT:
            return {verdict::reject, 0, nullptr, none, 0};
        default:
            break;
        }
        ++i;
    }
    return {verdict::next, 0, nullptr, none, 0};
}

// --- The source address

bool secondary(const address &a)
{
    return (a.flags & IFA_F_SECONDARY) != 0;
}

// The kernel's IPv4 choice for a route of this scope through device index
// and gateway gw (null when on-link): the first primary address of the
// device that reaches far enough, one whose subnet holds the gateway first;
// failing those, the first of another device that is not link-scoped.
u32 choose4(int index, const u8 *gw, int scope)
{
    const device *d = find_device(index);
    u32 first = none;
    for (u32 a = d != nullptr ? d->first[v4] : none; a != none; a = st.addresses[a].next) {
        const address &x = st.addresses[a];
        if (secondary(x) || x.scope > scope)
            continue;
        if (gw == nullptr || same_bits(gw, x.net, x.len))
            return a;
        if (first == none)
            first = a;
    }
    if (first != none)
        return first;
    for (u32 i = 0; i < st.ndevices; ++i)
        for (u32 a = st.devices[i].first[v4]; a != none; a = st.addresses[a].next) {
            const address &x = st.addresses[a];
            if (!secondary(x) && x.scope != RT_SCOPE_LINK && x.scope <= scope)
                return a;
        }
    return none;
}

// Nexthop h, its device and source found anew if an address or a link
// changed since.
hop &fresh(u32 h)
{
    hop &x = st.hops[h];
    if (x.gen == st.gen)
        return x;
    const device *d = find_device(x.nh.oif);
    x.device = d != nullptr ? static_cast<u32>(d - st.devices) : none;
    if (x.has_prefsrc)
        x.source = find_address(x.slot, x.prefsrc);
    else if (x.slot == v4)
        x.source = choose4(x.nh.oif, x.nh.gwslot == v4 ? x.nh.gateway : nullptr, x.scope);
    else
        x.source = none; // IPv6 chooses for each destination
    x.gen = st.gen;
    return x;
}

// IPv6 source selection (RFC 6724) as Linux applies it.

// The kernel's default policy table of labels.
int label(const u8 *a)
{
    static const struct {
        u8 prefix[16];
        int len;
        int label;
    } table[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128, 0},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}, 96, 4},
        {{}, 96, 3},
        {{0x20, 0x01, 0x00, 0x10}, 28, 7},
        {{0x20, 0x01}, 32, 6},
        {{0x20, 0x02}, 16, 2},
        {{0x3f, 0xfe}, 16, 12},
        {{0xfe, 0xc0}, 10, 11},
        {{0xfc}, 7, 5},
    };
    for (const auto &t : table) // longest first
        if (same_bits(a, t.prefix, t.len))
            return t.label;
    return 1;
}

bool orchid(const u8 *a)
{
    static const u8 prefix[16] = {0x20, 0x01, 0x00, 0x10};
    return same_bits(a, prefix, 28);
}

struct target {
    const u8 *addr;
    int scope;
    int label;
    int oif;
};

// Address x's mark on each of the kernel's rules, in their order; the
// higher wins the first rule where two differ.
void marks(const address &x, const target &t, int *m)
{
    const int s = scope6(x.local);
    const bool mapped =
        x.local[10] == 0xff && x.local[11] == 0xff && same_bits(x.local, loopback6, 80);
    const bool exempt = std::memcmp(x.local, loopback6, 16) == 0 || mapped;
    const int common = common_bits(x.local, t.addr, 128);
    m[0] = std::memcmp(x.local, t.addr, 16) == 0 ? 1 : 0;
    m[1] = s >= t.scope ? -s : s - 128;
    m[2] = exempt || (x.flags & (IFA_F_DEPRECATED | IFA_F_OPTIMISTIC)) == 0 ? 1 : 0;
    m[3] = (x.flags & IFA_F_HOMEADDRESS) == 0 ? 1 : 0;
    m[4] = t.oif == 0 || t.oif == x.index ? 1 : 0;
    m[5] = label(x.local) == t.label ? 1 : 0;
    m[6] = (x.flags & IFA_F_TEMPORARY) == 0 ? 1 : 0;
    m[7] = orchid(x.local) == orchid(t.addr) ? 1 : 0;
    m[8] = common < x.len ? common : x.len;
    m[9] = (x.flags & IFA_F_OPTIMISTIC) == 0 ? 1 : 0;
}

constexpr int nmarks = 10;

// Keeps in best the better of best and a: the higher mark on the first rule
// where they differ; the first of two that tie.
void better6(u32 a, const target &t, u32 *best, int *top)
{
    const address &x = st.addresses[a];
    if ((x.flags & IFA_F_TENTATIVE) != 0 && (x.flags & IFA_F_OPTIMISTIC) == 0)
        return;
    int m[nmarks];
    marks(x, t, m);
    if (*best != none && !std::lexicographical_compare(top, top + nmarks, m, m + nmarks))
        return;
    *best = a;
    std::memcpy(top, m, sizeof m);
}

// The address the kernel chooses to reach to through device index: from
// that device alone for link-scoped and multicast destinations, else from
// every device, in the kernel's order.
u32 source6(int index, const u8 *to)
{
    const int s = scope6(to);
    const target t{to, s, label(to), index};
    u32 best = none;
    int top[nmarks] = {};
    if (to[0] == 0xff || s <= 2) {
        const device *d = find_device(index);
        for (u32 a = d != nullptr ? d->first[v6] : none; a != none; a = st.addresses[a].next)
            better6(a, t, &best, top);
        return best;
    }
    for (u32 i = 0; i < st.ndevices; ++i)
        for (u32 a = st.devices[i].first[v6]; a != none; a = st.addresses[a].next)
            better6(a, t, &best, top);
    return best;
}

// --- The answer

struct nearest answer;

// The answer: source, the local address a (or none when the host does not
// hold it), through device d.
const struct nearest *record(const device *d, int slot, const u8 *source, u32 a, const result &x,
                             const char *why)
{
    answer = nearest{};
    std::memcpy(answer.name, d->name, sizeof answer.name);
    answer.index = static_cast<unsigned>(d->index);
    answer.family = slot == v4 ? AF_INET : AF_INET6;
    std::memcpy(&answer.addr, source, slot == v4 ? 4 : 16);
    answer.prefixlen = a != none ? st.addresses[a].len : bits(slot);
    if (x.hop != none && st.hops[x.hop].nh.gwslot == slot)
        std::memcpy(&answer.gateway, st.hops[x.hop].nh.gateway, slot == v4 ? 4 : 16);
    answer.table = x.table;
    answer.why = why;
    return &answer;
}

// The route's reason: a host's own subnet is a connected route, made by
// the kernel for one of its addresses, without a gateway.
const char *reason(const route &r, const hop &h)
{
    const bool connected = (r.flags & route_kernel) != 0 && h.nh.gwslot < 0 &&
                           (r.type == RTN_UNICAST || r.type == RTN_BROADCAST);
    return connected ? "subnet" : "route";
}

const struct nearest *answer_for(const query &q, const result &x, const char **why)
{
    if (x.v == verdict::reject) {
        *why = "unreachable";
        return nullptr;
    }
    if (x.v != verdict::found) {
        *why = "none";
        return nullptr;
    }
    const route &r = *x.chosen;
    const hop &h = fresh(x.hop);
    if (r.type == RTN_LOCAL) { // out through loopback, from itself
        const device *lo = loopback_device();
        const u8 *source = h.has_prefsrc ? h.prefsrc : q.key;
        const u32 a = h.has_prefsrc ? h.source : find_address(q.slot, q.key);
        *why = "same";
        return lo != nullptr ? record(lo, q.slot, source, a, x, *why) : nullptr;
    }
    const device *d = h.device != none ? &st.devices[h.device] : nullptr;
    const u32 a = h.has_prefsrc || q.slot == v4 ? h.source : source6(h.nh.oif, q.key);
    *why = "none";
    if (d == nullptr || (!h.has_prefsrc && a == none))
        return nullptr;
    *why = reason(r, h);
    return record(d, q.slot, h.has_prefsrc ? h.prefsrc : st.addresses[a].local, a, x, *why);
}

bool make_query(const sockaddr *to, query *q)
{
    sa_family_t family = 0;
    std::memcpy(&family, reinterpret_cast<const char *>(to) + offsetof(sockaddr, sa_family),
                sizeof family);
    *q = query{};
    if (family == AF_INET) {
        sockaddr_in sin;
        std::memcpy(&sin, to, sizeof sin);
        q->slot = v4;
        std::memcpy(q->key, &sin.sin_addr, 4);
        return true;
    }
    if (family != AF_INET6)
        return false;
    sockaddr_in6 sin6;
    std::memcpy(&sin6, to, sizeof sin6);
    const bool mapped = IN6_IS_ADDR_V4MAPPED(&sin6.sin6_addr);
    q->slot = mapped ? v4 : v6;
    std::memcpy(q->key, sin6.sin6_addr.s6_addr + (mapped ? 12 : 0), mapped ? 4 : 16);
    if (!mapped && scope6(q->key) <= 2 && (q->key[0] == 0xfe || q->key[0] == 0xff))
        q->oif = static_cast<int>(sin6.sin6_scope_id);
    return true;
}

bool needs_scope(const query &q)
{
    return q.slot == v6 && (q.key[0] == 0xfe || q.key[0] == 0xff) && scope6(q.key) <= 2 &&
           q.oif == 0;
}

} // namespace
} // namespace nearest_internal

using namespace nearest_internal;

const struct nearest *nearest_find(const struct sockaddr *to, const char **why)
{
    query q;
    const char *w = "none";
    const struct nearest *r = nullptr;
    static const u8 zero[4] = {};
    if (to != nullptr && make_query(to, &q)) {
        if (needs_scope(q)) {
            w = "scope";
        } else if (q.slot == v4 && std::memcmp(q.key, zero, 4) == 0) {
            // The kernel sends to 0.0.0.0 through loopback, from 127.0.0.1.
            static const u8 home[4] = {127, 0, 0, 1};
            const device *lo = loopback_device();
            w = "same";
            r = lo != nullptr ? record(lo, v4, home, find_address(v4, home),
                                       {verdict::found, RT_TABLE_LOCAL, nullptr, none, 0}, w)
                              : nullptr;
        } else if (q.slot != v4 || q.key[0] != 0) { // the kernel refuses the rest of 0.0.0.0/8
            r = answer_for(q, decide(q), &w);
        }
    }
    if (why != nullptr)
        *why = r != nullptr ? r->why : w;
    return r;
}
