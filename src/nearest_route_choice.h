// SPDX-License-Identifier: ISC
// The choice within a table, as the kernel's fib_table_lookup and
// fib_select_path make it, and IPv6's fib6_table_lookup and
// fib6_select_path: the longest prefix that has a route for the packet,
// the first of its routes (by metric, then as added) whose TOS and device
// fit, and the member of a multipath route or group that carries it. Also
// the records a decision passes along: what the query asks, and how a table
// answered. Reads one copy of the state only, inline: a lookup makes no
// call out of its translation unit.
#ifndef LANPICK_NEAREST_ROUTE_CHOICE_H
#define LANPICK_NEAREST_ROUTE_CHOICE_H

#include "nearest_source.h"
#include "nearest_state.h"

#include <linux/rtnetlink.h>

#include <cstring>

namespace nearest_internal {

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

// What each part of a decision reads: one copy of the state, and the query.
class reading {
  public:
    reading(const state &s, const query &asked) : st(s), q(asked)
    {
    }

  protected:
    const state &st; // NOLINT(cppcoreguidelines-avoid-const-or-ref-data-members): for one query
    const query &q;  // NOLINT(cppcoreguidelines-avoid-const-or-ref-data-members)

    static bool up(const device *d)
    {
        return d != nullptr && (d->flags & IFF_UP) != 0;
    }

    // The loopback device: index 1 in every network namespace.
    [[nodiscard]] const device *loopback_device() const
    {
        return st.find_device(1);
    }

    // The device of a nexthop, or null.
    [[nodiscard]] const device *device_of(u32 h) const
    {
        const u32 at = st.hops[h].device;
        return at != none ? &st.devices[at] : nullptr;
    }

    // Whether the device asked for binds: always for IPv4; for IPv6 when
    // the packet has no source, or its destination is link-local or
    // multicast. Otherwise IPv6 takes it as a preference.
    [[nodiscard]] bool strict() const
    {
        return q.oif != 0 && (q.slot == v4 || !q.has_from || q.key[0] == 0xff ||
                              (q.key[0] == 0xfe && (q.key[1] & 0xc0) == 0x80));
    }
};

// How each table answers the packet.
class route_choice : public reading {
  public:
    route_choice(const state &s, const query &asked, const hints &h) : reading(s, asked), known(h)
    {
    }

    // How table id answers: a route, none (go on), or a reject.
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

  private:
    const hints &known; // NOLINT(cppcoreguidelines-avoid-const-or-ref-data-members)

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

    // Whether the choice among route x's members, made with no device
    // given, passes over those whose gateway's neighbour entry is in no
    // valid state: through a list of IPv4 nexthops where the namespace says
    // so (fib_multipath_use_neigh), through a group always but a resilient
    // one, whose buckets decide (nexthop_select_path_hthr).
    [[nodiscard]] bool avoids_neighbours(const route &x, bool list4) const
    {
        if (q.oif != 0)
            return false;
        if ((x.flags & route_object) != 0)
            return st.hops[x.hop].kind == object_group && !st.hops[x.hop].resilient;
        return list4 && st.use_neigh;
    }

    // The member of route x that carries the packet: any that can, as the
    // flow hash picks; nearest takes the first. But an IPv4 packet with a
    // source and no device, through a list of nexthops (not an object),
    // goes by a member whose own source is the packet's where one can
    // (fib_select_multipath, since Linux 6.16); and where neighbours count,
    // by a member whose gateway's entry is valid, or else as if none were.
    [[nodiscard]] u32 carrier(const route &x) const
    {
        const bool list4 =
            q.slot == v4 && (x.flags & (route_multipath | route_object)) == route_multipath;
        const bool neighbours = avoids_neighbours(x, list4);
        const auto usable = [&](u32 n) {
            return alive(n, x) && !(neighbours && st.hops[n].shunned);
        };
        if (list4 && q.has_from && q.oif == 0) {
            const u32 h = st.find_hop(x, [&](u32 n) { return usable(n) && own_source(n, q.from); });
            if (h != none)
                return h;
        }
        if (neighbours)
            if (const u32 h = st.find_hop(x, usable); h != none)
                return h;
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
};

} // namespace nearest_internal

#endif
