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
//
// Here are the rules' order and actions and the answer's record; whether
// a rule selects the packet is nearest_rule_match.h's, the choice within a
// table nearest_route_choice.h's, and the source nearest_source.h's.
#include "nearest.h"
#include "nearest_route_choice.h"
#include "nearest_rule_match.h"
#include "nearest_source.h"
#include "nearest_state.h"

#include <linux/fib_rules.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstring>

namespace nearest_internal {
namespace {

// The decision for one query on one copy of the state.
class decision : public reading {
  public:
    decision(const state &s, const query &asked, const hints &h)
        : reading(s, asked), tables(s, asked, h), rules(s, asked)
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
    route_choice tables;
    rule_match rules;

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

    // The rules in their order: the first table that answers, or a rule or
    // route that rejects.
    [[nodiscard]] result decide() const
    {
        const pool<rule> &list = st.rules[q.slot];
        for (u32 i = 0; i < list.n;) {
            const rule &r = list[i];
            if (!rules.selects(r)) {
                ++i;
                continue;
            }
            switch (r.action) {
            case FR_ACT_TO_TBL: {
                const result x = tables.lookup(r.table);
                if (x.v == verdict::found && rules.suppressed(r, x))
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
