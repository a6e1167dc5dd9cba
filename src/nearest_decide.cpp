// SPDX-License-Identifier: ISC
// The decision: for a packet this host would send, the kernel's output
// route and source address. The packet has a destination and what the
// caller gives of its source, output device, mark, uid, TOS, protocol and
// ports; the rest is as a local packet has it (incoming interface lo, no
// flow label). The policy rules in their order choose the tables; in a
// table the longest prefix, then the lowest metric, gives the route; the
// route's preferred source, or the kernel's choice of one, gives the
// address. Reads one copy of the state only: no system call, no
// allocation, no write.
#include "nearest.h"
#include "nearest_source.h"
#include "nearest_state.h"

#include <linux/fib_rules.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstring>

namespace nearest_internal {
namespace {

// What a query asks, read out of struct nearest_query.
struct query {
    int slot;
    u8 key[16];
    int oif; // the device the packet must leave by, or 0
    bool has_from;
    u8 from[16];
    u32 mark;
    u32 uid;
    int tos; // the bits of it that routes and rules compare
    int ipproto;
    u32 sport;
    u32 dport;
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

// What a batch knows of a query before its decision: the longest prefix
// that holds its destination in the tables that the first rules name.
struct hints {
    int n = 0;
    u32 ids[2] = {};
    const table *tables[2] = {};
    u32 match[2] = {};
};

// The decision for one query on one copy of the state.
class decision {
  public:
    decision(const state &s, const query &asked, const hints &h) : st(s), q(asked), known(h)
    {
    }

    // The answer into *out; NEAREST_FOUND or why there is none.
    int find(nearest *out) const
    {
        if (needs_scope())
            return NEAREST_SCOPE;
        if (q.slot == v4) {
            if (!usable_from() || (q.oif != 0 && !up(st.find_device(q.oif))))
                return NEAREST_NONE;
            static const u8 zero[4] = {};
            if (std::memcmp(q.key, zero, 4) == 0)
                return to_nothing(out);
            if (q.key[0] == 0) // the kernel refuses the rest of 0.0.0.0/8
                return NEAREST_NONE;
        }
        const result x = decide();
        // With a device given and no route, IPv4 takes the destination as
        // on-link through it.
        if (q.slot == v4 && q.oif != 0 && (x.v == verdict::next || x.v == verdict::reject))
            return on_link(out);
        return answer_for(x, out);
    }

  private:
    const state &st;
    const query &q;
    const hints &known;

    static bool up(const device *d)
    {
        return d != nullptr && (d->flags & IFF_UP) != 0;
    }

    [[nodiscard]] bool needs_scope() const
    {
        return q.slot == v6 && (q.key[0] == 0xfe || q.key[0] == 0xff) && scope6(q.key) <= 2 &&
               q.oif == 0;
    }

    // An IPv4 source the kernel takes: none, or one of this host's
    // addresses that is no multicast, broadcast or 0.0.0.0/8 address.
    [[nodiscard]] bool usable_from() const
    {
        if (!q.has_from)
            return true;
        const u8 *f = q.from;
        const bool broadcast = f[0] == 255 && f[1] == 255 && f[2] == 255 && f[3] == 255;
        return (f[0] & 0xf0) != 0xe0 && !broadcast && f[0] != 0 && st.find_address(v4, f) != none;
    }

    // --- Policy rules

    // The loopback device: index 1 in every network namespace.
    [[nodiscard]] const device *loopback_device() const
    {
        return st.find_device(1);
    }

    // Whether a rule's device names the packet's: iif is always lo, oif
    // the query's, if any.
    [[nodiscard]] bool same_device(const char *name, int index) const
    {
        const device *d = st.find_device(index);
        return d != nullptr && std::strncmp(name, d->name, sizeof d->name) == 0;
    }

    // Whether a rule's ports (a range, then a mask of the first) hold port.
    static bool in_range(const u32 *range, u32 port)
    {
        if (range[2] != 0)
            return ((range[0] ^ port) & range[2]) == 0;
        return range[0] == 0 || range[1] == 0 || (port >= range[0] && port <= range[1]);
    }

    // Whether rule r's source prefix holds the packet's source. An IPv4
    // packet without one has 0.0.0.0; an IPv6 one meets no source prefix.
    [[nodiscard]] bool from_selected(const rule &r) const
    {
        static const u8 zero[16] = {};
        if (q.slot == v6 && r.srclen > 0 && !q.has_from)
            return false;
        return same_bits(r.src, q.has_from ? q.from : zero, r.srclen);
    }

    // Whether rule r selects the packet.
    [[nodiscard]] bool selects(const rule &r) const
    {
        if (r.plain)
            return !r.invert;
        const bool m = from_selected(r) && same_bits(r.dst, q.key, r.dstlen) &&
                       (r.tos == 0 || r.tos == q.tos) && ((r.mark ^ q.mark) & r.mask) == 0 &&
                       q.uid >= r.uidlo && q.uid <= r.uidhi &&
                       (r.ipproto == 0 || r.ipproto == q.ipproto) && in_range(r.sport, q.sport) &&
                       in_range(r.dport, q.dport) && !r.needs &&
                       (r.iif[0] == '\0' || same_device(r.iif, 1)) &&
                       (r.oif[0] == '\0' || same_device(r.oif, q.oif));
        return m != r.invert;
    }

    // The device of a nexthop, or null.
    [[nodiscard]] const device *device_of(u32 h) const
    {
        const u32 at = st.hops[h].device;
        return at != none ? &st.devices[at] : nullptr;
    }

    // Whether a rule's suppressor turns down the answer of its table.
    [[nodiscard]] bool suppressed(const rule &r, const result &x) const
    {
        if (x.len <= r.suppress_len)
            return true;
        if (r.suppress_group < 0 || x.hop == none)
            return false;
        const device *d = device_of(x.hop);
        return d != nullptr && d->group == static_cast<u32>(r.suppress_group);
    }

    // --- Routes

    // Whether the device asked for binds: always for IPv4; for IPv6 when
    // the packet has no source, or its destination is link-local or
    // multicast. Otherwise IPv6 takes it as a preference.
    [[nodiscard]] bool strict() const
    {
        return q.oif != 0 && (q.slot == v4 || !q.has_from || q.key[0] == 0xff ||
                              (q.key[0] == 0xfe && (q.key[1] & 0xc0) == 0x80));
    }

    // Whether a nexthop can carry the packet: through the device asked for,
    // where it binds, and up, unless the route is of host scope, which the
    // kernel keeps alive on a device that is down.
    [[nodiscard]] bool alive(u32 h, const route &x) const
    {
        if (strict() && st.hops[h].nh.oif != q.oif)
            return false;
        return (x.flags & route_host) != 0 || up(device_of(h));
    }

    // Whether IPv6 passes over a reject or throw route: its device, lo, is
    // not the one the packet must leave by.
    [[nodiscard]] bool passed_over(const route &x) const
    {
        if (q.slot != v6 || !strict())
            return false;
        const u32 h = st.find_hop(x, [](u32) { return true; });
        return h == none || st.hops[h].nh.oif != q.oif;
    }

    // Of the routes of route r's metric from r on, the first through the
    // device the packet prefers, or r.
    [[nodiscard]] result preferred(const route *r, u32 h) const
    {
        if (q.oif == 0 || strict() || st.hops[h].nh.oif == q.oif)
            return {verdict::found, 0, r, h, 0};
        for (const route *y = st.next_route(*r); y != nullptr && y->metric == r->metric;
             y = st.next_route(*y)) {
            const u32 g =
                st.find_hop(*y, [&](u32 n) { return st.hops[n].nh.oif == q.oif && alive(n, *y); });
            if (g != none && y->type == r->type)
                return {verdict::found, 0, y, g, 0};
        }
        return {verdict::found, 0, r, h, 0};
    }

    // What route r says of the packet: true, with *x, when it answers (it
    // can carry the packet, or it is a reject or throw route), else false.
    bool weigh(const route *r, result *x) const
    {
        const route &y = *r;
        if (y.tos != 0 && y.tos != q.tos)
            return false;
        switch (y.type) {
        case RTN_THROW:
            *x = {verdict::next, 0, r, none, 0};
            return !passed_over(y);
        case RTN_BLACKHOLE:
        case RTN_UNREACHABLE:
        case RTN_PROHIBIT:
            *x = {verdict::reject, 0, r, none, 0};
            return !passed_over(y);
        default:
            break;
        }
        if ((y.flags & route_object) != 0) {
            const u8 kind = st.hops[y.hop].kind;
            if (kind == object_blackhole) {
                *x = {verdict::reject, 0, r, none, 0};
                return !passed_over(y);
            }
            if (kind == object_unknown) {
                *x = {verdict::unfollowed, 0, r, none, 0};
                return true;
            }
        }
        const u32 h = carrier(y);
        if (h != none)
            *x = preferred(r, h);
        return h != none;
    }

    // The kernel's own source for an IPv4 nexthop (its nh_saddr): the
    // address it would choose on the nexthop's device towards its gateway,
    // whatever preferred source the route names.
    [[nodiscard]] bool own_source(u32 h, const u8 *source) const
    {
        const hop &n = st.hops[h];
        const u32 a = !n.has_prefsrc ? n.source
                                     : choose4(st, n.nh.oif,
                                               n.nh.gwslot == v4 ? n.nh.gateway : nullptr, n.scope);
        return a != none && std::memcmp(st.addresses[a].local, source, 4) == 0;
    }

    // The member of route x that carries the packet: any that can, as the
    // flow hash picks; nearest takes the first. But an IPv4 packet with a
    // source and no device, through a list of nexthops (not an object),
    // goes by a member whose own source is the packet's where one can
    // (fib_select_multipath, since Linux 6.16).
    [[nodiscard]] u32 carrier(const route &x) const
    {
        if (q.slot == v4 && q.has_from && q.oif == 0 &&
            (x.flags & (route_multipath | route_object)) == route_multipath) {
            const u32 h =
                st.find_hop(x, [&](u32 n) { return alive(n, x) && own_source(n, q.from); });
            if (h != none)
                return h;
        }
        return st.find_hop(x, [&](u32 n) { return alive(n, x); });
    }

    // The routes of one prefix, in the kernel's order: the first whose TOS
    // is 0 or the packet's and that can carry it answers; a reject or throw
    // route answers as such.
    [[nodiscard]] result in_prefix(const route &first, int len) const
    {
        result x{};
        for (const route *r = &first; r != nullptr; r = st.next_route(*r))
            if (weigh(r, &x)) {
                x.len = len;
                return x;
            }
        return {verdict::next, 0, nullptr, none, len};
    }

    static bool answers(const result &x)
    {
        return x.v != verdict::next || x.chosen != nullptr;
    }

    // The longest prefix of the table that holds the destination and has a
    // route for the packet; a shorter one where a longer one has none.
    template <typename Prefixes> [[nodiscard]] result in_table(const Prefixes &t, u32 first) const
    {
        for (u32 p = first; p != none; p = t.shorter(q.key, t.prefix_len(p)))
            if (const result x = in_prefix(t.value(p), t.prefix_len(p)); answers(x))
                return x;
        return {verdict::next, 0, nullptr, none, 0};
    }

    // The longest destination prefix shorter than bound that t's source
    // routes hold, or -1.
    [[nodiscard]] int longest_source_prefix(const table &t, int bound) const
    {
        for (u32 i = 0; i < t.from.n; ++i)
            if (t.from[i].dstlen < bound && same_bits(t.from[i].dst, q.key, t.from[i].dstlen))
                return t.from[i].dstlen;
        return -1;
    }

    // The source routes of t to the destination prefix of length len, from
    // the longest source prefix that holds the packet's source (:: without
    // one) on; *held when some source prefix holds it.
    [[nodiscard]] result in_subtree(const table &t, int len, bool *held) const
    {
        static const u8 zero[16] = {};
        const u8 *from = q.has_from ? q.from : zero;
        result x{};
        *held = false;
        for (u32 i = 0; i < t.from.n; ++i) {
            const source_route &e = t.from[i];
            if (e.dstlen != len || !same_bits(e.dst, q.key, len) ||
                !same_bits(e.src, from, e.srclen))
                continue;
            *held = true;
            if (weigh(&e.r, &x)) {
                x.len = len;
                return x;
            }
        }
        return {verdict::next, 0, nullptr, none, len};
    }

    // An IPv6 table with source routes. A prefix of the destination with
    // some is answered by them alone when no source prefix of theirs holds
    // the packet's source; when one does but cannot carry the packet, the
    // prefix's plain routes are tried too, as the kernel backtracks. The
    // kernel's walk that finds nothing ends at the table's root, so the
    // plain default routes are always tried last.
    [[nodiscard]] result in_table6(const table &t, u32 first) const
    {
        u32 p = first;
        for (int bound = 129;;) {
            const int plain = p != none ? t.v6.prefix_len(p) : -1;
            const int sourced = longest_source_prefix(t, bound);
            if (plain < 0 && sourced < 0)
                return {verdict::next, 0, nullptr, none, 0};
            if (sourced < plain) {
                if (const result x = in_prefix(t.v6.value(p), plain); answers(x))
                    return x;
                p = t.v6.shorter(q.key, plain);
                continue;
            }
            bool held = false;
            if (const result x = in_subtree(t, sourced, &held); answers(x))
                return x;
            bound = sourced;
            if (plain != sourced)
                continue;
            if (const result x = held || plain == 0 ? in_prefix(t.v6.value(p), plain)
                                                    : result{verdict::next, 0, nullptr, none, 0};
                answers(x))
                return x;
            p = t.v6.shorter(q.key, plain);
        }
    }

    [[nodiscard]] result lookup(u32 id) const
    {
        int k = known.n - 1; // the hint for this table, or -1
        while (k >= 0 && known.ids[k] != id)
            --k;
        const table *t = k >= 0 ? known.tables[k] : st.find_table(id);
        if (t == nullptr)
            return {verdict::next, id, nullptr, none, 0};
        result x{};
        if (q.slot == v4)
            x = in_table(t->v4, k >= 0 ? known.match[k] : t->v4.match(q.key));
        else if (t->from.n == 0)
            x = in_table(t->v6, k >= 0 ? known.match[k] : t->v6.match(q.key));
        else
            x = in_table6(*t, k >= 0 ? known.match[k] : t->v6.match(q.key));
        x.table = id;
        return x;
    }

    // The rules in their order: the first table that answers, or a rule or
    // route that rejects.
    [[nodiscard]] result decide() const
    {
        const pool<rule> &list = st.rules[q.slot];
        for (u32 i = 0; i < list.n;) {
            const rule &r = list[i];
            if (!selects(r)) {
                ++i;
                continue;
            }
            switch (r.action) {
            case FR_ACT_TO_TBL: {
                const result x = lookup(r.table);
                if (x.v == verdict::found && suppressed(r, x))
                    break;
                if (x.v != verdict::next)
                    return x;
                break;
            }
            case FR_ACT_GOTO: {
                u32 j = i + 1;
                while (j < list.n && list[j].priority != r.target)
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

    // --- The answer

    // The answer: source, the local address a (or none when the host does
    // not hold it), through device d, by route x's gateway when it has one.
    int record(nearest *out, const device *d, const u8 *source, u32 a, const result &x,
               const char *why) const
    {
        nearest whole{};
        // Straight into the caller's record when it holds all of this one.
        const unsigned size = out->size;
        nearest &r = size == 0 || size >= sizeof r ? *out : whole;
        r = nearest{};
        r.size = size;
        std::memcpy(r.name, d->name, sizeof r.name);
        r.index = static_cast<unsigned>(d->index);
        r.family = q.slot == v4 ? AF_INET : AF_INET6;
        std::memcpy(&r.addr, source, 16); // an IPv4 address's 4, then zeros
        r.prefixlen = a != none ? st.addresses[a].len : bits(q.slot);
        if (const int gw = x.hop != none ? st.hops[x.hop].nh.gwslot : -1; gw >= 0) {
            std::memcpy(&r.gateway, st.hops[x.hop].nh.gateway, 16);
            r.gateway_family = gw == v4 ? AF_INET : AF_INET6;
        }
        r.table = x.table;
        r.why = why;
        if (&r == &whole) // as much of it as the caller's record holds
            std::memcpy(reinterpret_cast<char *>(out) + sizeof r.size,
                        reinterpret_cast<const char *>(&r) + sizeof r.size, size - sizeof r.size);
        return NEAREST_FOUND;
    }

    // The source the query gives, and where the host holds it.
    [[nodiscard]] u32 given() const
    {
        return st.find_address(v4, q.from);
    }

    // To 0.0.0.0, the kernel sends through loopback, from 127.0.0.1 or the
    // source given.
    int to_nothing(nearest *out) const
    {
        static const u8 home[16] = {127, 0, 0, 1};
        const device *lo = loopback_device();
        if (lo == nullptr)
            return NEAREST_NONE;
        const u8 *source = q.has_from ? q.from : home;
        return record(out, lo, source, st.find_address(v4, source),
                      {verdict::found, RT_TABLE_LOCAL, nullptr, none, 0}, "same");
    }

    // On-link through the device asked for, from its first address that
    // reaches the link, or the source given.
    int on_link(nearest *out) const
    {
        const device *d = st.find_device(q.oif); // held: find() saw it up
        const u32 a = q.has_from ? given() : choose4(st, q.oif, nullptr, RT_SCOPE_LINK);
        if (d == nullptr || a == none)
            return NEAREST_NONE;
        return record(out, d, q.has_from ? q.from : st.addresses[a].local, a,
                      {verdict::found, 0, nullptr, none, 0}, "route");
    }

    // The route's reason: a host's own subnet is a connected route, made by
    // the kernel for one of its addresses, without a gateway.
    static const char *reason(const route &r, const hop &h)
    {
        const bool connected = (r.flags & route_kernel) != 0 && h.nh.gwslot < 0 &&
                               (r.type == RTN_UNICAST || r.type == RTN_BROADCAST);
        return connected ? "subnet" : "route";
    }

    // The device IPv6 chooses a source by for member h of route r: its
    // own, but through a nexthop object its first member's, whichever member
    // carries the packet (ip6_route_get_saddr asks the group's first).
    [[nodiscard]] int source_device6(const route &r, const hop &h) const
    {
        if ((r.flags & route_object) == 0)
            return h.nh.oif;
        const u32 c = st.hops[r.hop].members;
        return c != none ? st.hops[st.cells[c].hop].nh.oif : h.nh.oif;
    }

    int answer_for(const result &x, nearest *out) const
    {
        if (x.v == verdict::reject)
            return NEAREST_UNREACHABLE;
        if (x.v != verdict::found)
            return NEAREST_NONE;
        const route &r = *x.chosen;
        const hop &h = st.hops[x.hop];
        const bool from = q.has_from && q.slot == v4; // IPv6 chooses its own
        if (r.type == RTN_LOCAL) {                    // out through loopback, from itself
            const device *lo = loopback_device();
            const u8 *source = from ? q.from : h.has_prefsrc ? h.prefsrc : q.key;
            const u32 a = from            ? given()
                          : h.has_prefsrc ? h.source
                                          : st.find_address(q.slot, q.key);
            return lo != nullptr ? record(out, lo, source, a, x, "same") : NEAREST_NONE;
        }
        const device *d = device_of(x.hop);
        if (from)
            return d != nullptr ? record(out, d, q.from, given(), x, reason(r, h)) : NEAREST_NONE;
        const u32 a =
            h.has_prefsrc || q.slot == v4 ? h.source : source6(st, q.key, source_device6(r, h));
        if (d == nullptr || (!h.has_prefsrc && a == none))
            return NEAREST_NONE;
        return record(out, d, h.has_prefsrc ? h.prefsrc : st.addresses[a].local, a, x,
                      reason(r, h));
    }
};

// The destination to, a sockaddr_in or a sockaddr_in6, and the device a
// link-local one's scope names.
bool read_to(const sockaddr *to, query *q)
{
    sa_family_t family = 0;
    std::memcpy(&family, reinterpret_cast<const char *>(to) + offsetof(sockaddr, sa_family),
                sizeof family);
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

// The source a query gives, of the destination's family; false for
// another. IPv4's 0.0.0.0, as the kernel takes it, is no source.
bool read_from(const nearest_address &from, query *q)
{
    query f{};
    if (!read_to(&from.sa, &f) || f.slot != q->slot)
        return false;
    static const u8 zero[16] = {};
    q->has_from = std::memcmp(f.key, zero, 16) != 0;
    std::memcpy(q->from, f.key, 16);
    return true;
}

} // namespace

namespace {

// The query in, read into *q; false for one this library cannot read.
bool read_query(const nearest_query &in, unsigned uid, query *q)
{
    constexpr unsigned known = NEAREST_FROM | NEAREST_OIF | NEAREST_MARK | NEAREST_UID |
                               NEAREST_TOS | NEAREST_IPPROTO | NEAREST_SPORT | NEAREST_DPORT;
    *q = query{};
    const unsigned f = in.flags;
    if ((f & ~known) != 0 || !read_to(&in.to.sa, q))
        return false;
    if ((f & NEAREST_FROM) != 0 && !read_from(in.from, q))
        return false;
    if ((f & NEAREST_OIF) != 0)
        q->oif = static_cast<int>(in.oif);
    q->mark = (f & NEAREST_MARK) != 0 ? in.mark : 0;
    q->uid = (f & NEAREST_UID) != 0 ? in.uid : uid;
    // IPv4 compares the TOS bits of RFC 1349; IPv6 the DSCP.
    q->tos = (f & NEAREST_TOS) == 0 ? 0 : in.tos & (q->slot == v4 ? 0x1c : 0xfc);
    q->ipproto = (f & NEAREST_IPPROTO) != 0 ? in.ipproto : 0;
    q->sport = (f & NEAREST_SPORT) != 0 ? in.sport : 0;
    q->dport = (f & NEAREST_DPORT) != 0 ? in.dport : 0;
    return true;
}

// The first two tables that the rules of family s name and the host has,
// which most lookups read.
void first_tables(const state &st, int s, hints *h)
{
    for (u32 i = 0; i < st.rules[s].n && h->n < 2; ++i) {
        const rule &r = st.rules[s][i];
        const table *t = r.action == FR_ACT_TO_TBL ? st.find_table(r.table) : nullptr;
        if (t != nullptr && (h->n == 0 || r.table != h->ids[0])) {
            h->ids[h->n] = r.table;
            h->tables[h->n++] = t;
        }
    }
}

// The walks of a batch down one family's tables, taken in turns.
template <typename Table> class lanes {
  public:
    // Begins the walk of key down t, its answer to be *out.
    void begin(const Table &t, const u8 *key, u32 *out)
    {
        const std::size_t i = used++;
        if (!t.begin(key, &walks[i], out))
            return;
        tables[i] = &t;
        keys[i] = key;
        outs[i] = out;
        going[n++] = static_cast<u8>(i);
    }

    // Takes every walk one read further; false once all have ended.
    bool turn()
    {
        std::size_t still = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const u8 i = going[j];
            if (tables[i]->step(keys[i], &walks[i], outs[i]))
                going[still++] = i;
        }
        n = still;
        return n > 0;
    }

  private:
    static constexpr std::size_t most = 2 * batch; // two tables a query
    trie_walk walks[most];
    const Table *tables[most];
    const u8 *keys[most];
    u32 *outs[most];
    u8 going[most];
    std::size_t used = 0, n = 0;
};

// Walks the destinations of qs down the first two tables that the rules of
// their family name, all in turns at once, so that the misses of every
// walk overlap, and keeps each one's longest prefix there in its hints.
void walk(const state &st, const query *qs, std::size_t n, hints *h)
{
    hints first[2]{};
    first_tables(st, v4, &first[v4]);
    first_tables(st, v6, &first[v6]);
    lanes<decltype(table::v4)> l4;
    lanes<decltype(table::v6)> l6;
    for (std::size_t i = 0; i < n; ++i) {
        const int s = qs[i].slot;
        if (s < 0)
            continue;
        h[i] = first[s];
        for (int k = 0; k < h[i].n; ++k) {
            if (s == v4)
                l4.begin(h[i].tables[k]->v4, qs[i].key, &h[i].match[k]);
            else
                l6.begin(h[i].tables[k]->v6, qs[i].key, &h[i].match[k]);
        }
    }
    for (bool more = true; more;) {
        const bool more4 = l4.turn();
        more = l6.turn() || more4;
    }
}

} // namespace

int find(const state &st, const nearest_query &in, unsigned uid, nearest *out)
{
    query q;
    if (!read_query(in, uid, &q))
        return NEAREST_INVALID;
    return decision(st, q, hints{}).find(out);
}

int find_to(const state &st, const sockaddr *to, unsigned uid, nearest *out)
{
    query q{};
    if (!read_to(to, &q))
        return NEAREST_NONE;
    q.uid = uid;
    return decision(st, q, hints{}).find(out);
}

void find_many(const state &st, const nearest_query *const *in, std::size_t n, unsigned uid,
               nearest *const *out, int *codes)
{
    query qs[batch]{};
    hints h[batch];
    for (std::size_t i = 0; i < n; ++i)
        if (!read_query(*in[i], uid, &qs[i]))
            qs[i].slot = -1;
    walk(st, qs, n, h);
    for (std::size_t i = 0; i < n; ++i)
        codes[i] = qs[i].slot < 0 ? NEAREST_INVALID : decision(st, qs[i], h[i]).find(out[i]);
}

} // namespace nearest_internal
