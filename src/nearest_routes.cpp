// SPDX-License-Identifier: ISC
// The routes of every table, as the kernel's fib_trie.c keeps them: each
// prefix's routes in the kernel's order, the first in the prefix's own
// record, the rest in st.routes; their nexthops shared (shared_hops), or a
// binding to a nexthop object. Also the flushes the kernel makes of them
// with no message, each named by what brings it about; the events say when.
#include "nearest_write.h"

#include "report.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>

namespace nearest_internal {

// The first route of prefix p in slot s of table t, in its record.
route &route_tables::head(table *t, int s, u32 p)
{
    return s == v4 ? t->v4.value(p) : t->v6.value(p);
}

void route_tables::release(const route &x)
{
    if ((x.flags & route_object) != 0)
        nexthop_objects(st, quiet).put_binding(x.hop);
    else if ((x.flags & route_multipath) == 0)
        shared_hops(st, quiet).put(x.hop);
    else
        shared_hops(st, quiet).put_cells(x.hop, true);
}

// Gives back element r of st.routes, its route moved or released.
void route_tables::free_slot(u32 r)
{
    st.routes[r].type = RTN_UNSPEC; // marks it free
    st.routes.give(r, &route::next);
}

bool route_tables::make(const change &c, route *x)
{
    const u8 flags =
        static_cast<u8>((c.protocol == RTPROT_KERNEL ? route_kernel : 0) |
                        (c.scope == RT_SCOPE_HOST ? route_host : 0) |
                        (c.nhops > 1 ? route_multipath : 0) | (c.object != 0 ? route_object : 0));
    *x = route{c.metric, none, none, static_cast<u8>(c.tos), static_cast<u8>(c.rtype), flags};
    hop h{};
    h.slot = static_cast<u8>(c.slot);
    h.scope = static_cast<u8>(c.scope);
    h.has_prefsrc = c.has_prefsrc;
    std::memcpy(h.prefsrc, c.prefsrc, 16);
    if (c.object != 0) {
        h.nh.gwslot = -1;
        h.object = c.object;
        x->hop = nexthop_objects(st, quiet).take_binding(h);
        return x->hop != none;
    }
    shared_hops hops(st, quiet);
    for (int i = c.nhops - 1; i >= 0; --i) {
        h.nh = c.hops[i];
        const u32 shared = hops.take(h);
        const u32 more = shared == none || c.nhops == 1 ? shared : hops.take_cell(shared, x->hop);
        if (more == none) {
            hops.put(shared);
            release(*x);
            return false;
        }
        x->hop = more;
    }
    return true;
}

// The same tos, metric, type and preferred source, and the same first
// nexthop when c gives one. The kernel keeps two local routes to an
// address that is both primary and, in another subnet, secondary: they
// differ only in their preferred source.
bool route_tables::names(const route &x, const change &c)
{
    if (x.tos != c.tos || x.metric != c.metric || x.type != c.rtype)
        return false;
    if ((x.flags & route_object) != 0 || c.object != 0) {
        const hop *b = (x.flags & route_object) != 0 ? &st.hops[x.hop] : nullptr;
        return b != nullptr && b->object == c.object && b->has_prefsrc == c.has_prefsrc &&
               std::memcmp(b->prefsrc, c.prefsrc, 16) == 0;
    }
    const u32 first = st.find_hop(x, [](u32) { return true; });
    if (c.nhops == 0 || first == none)
        return true;
    const hop &h = st.hops[first];
    return h.nh.oif == c.hops[0].oif && h.nh.gwslot == c.hops[0].gwslot &&
           std::memcmp(h.nh.gateway, c.hops[0].gateway, 16) == 0 &&
           h.has_prefsrc == c.has_prefsrc && std::memcmp(h.prefsrc, c.prefsrc, 16) == 0;
}

// Puts route x among the routes that begin at first, in the kernel's
// order: by tos, wider first, then by metric; a new route after those that
// tie with it, or in place of the first that ties when it replaces. A route
// met twice, by an event and then by a dump, is kept once. Spare is a free
// element of st.routes; true when x or a route it moved went there.
bool route_tables::place(route &first, route x, const change &c, u32 spare)
{
    if (first.type == RTN_UNSPEC) { // a new prefix
        first = x;
        return false;
    }
    for (route *y = &first;; y = &st.routes[y->next]) {
        if (names(*y, c)) {
            x.next = y->next;
            release(*y);
            *y = x;
            return false;
        }
        if (y->next == none)
            break;
    }
    route *y = &first;
    for (;;) {
        if (y->tos < x.tos || (y->tos == x.tos && y->metric > x.metric)) {
            st.routes[spare] = *y; // y moves one on, and x takes its place
            x.next = spare;
            *y = x;
            return true;
        }
        if ((c.nlflags & NLM_F_REPLACE) != 0 && y->tos == x.tos && y->metric == x.metric) {
            x.next = y->next;
            release(*y);
            *y = x;
            return false;
        }
        if (y->next == none)
            break;
        y = &st.routes[y->next];
    }
    st.routes[spare] = x; // after the last
    y->next = spare;
    return true;
}

void route_tables::said(const change &c)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(c.slot == v4 ? AF_INET : AF_INET6, c.local, text, sizeof text);
    if (!quiet)
        report(3, "nearest: out of memory; route %s/%d left out", text, c.len);
}

void route_tables::add(const change &c)
{
    table *t = st.tables.make(c.table);
    const u32 p = t == nullptr   ? none
                  : c.slot == v4 ? t->v4.add(c.local, c.len)
                                 : t->v6.add(c.local, c.len);
    // Room in st.routes first: taking it may move them.
    const u32 spare = p == none ? none : st.routes.take(&route::next);
    route x;
    if (spare == none || !make(c, &x)) {
        if (spare != none)
            free_slot(spare);
        if (p != none && head(t, c.slot, p).type == RTN_UNSPEC)
            c.slot == v4 ? t->v4.remove(p) : t->v6.remove(p);
        said(c);
        return;
    }
    if (!place(head(t, c.slot, p), x, c, spare))
        free_slot(spare);
}

// Takes route y out of prefix p's routes (prev the one before it, or null
// for the first), and the prefix when it empties. The route after y, if
// any, moves into y's place.
void route_tables::unlink(table *t, int s, u32 p, route *prev, route *y)
{
    release(*y);
    if (y->next != none) {
        const u32 n = y->next;
        *y = st.routes[n];
        free_slot(n);
    } else if (prev != nullptr) {
        const u32 r = prev->next;
        prev->next = none;
        free_slot(r);
    } else if (s == v4) {
        t->v4.remove(p);
    } else {
        t->v6.remove(p);
    }
}

void route_tables::drop(const change &c)
{
    table *t = st.tables.find(c.table);
    const u32 p = t == nullptr   ? none
                  : c.slot == v4 ? t->v4.find(c.local, c.len)
                                 : t->v6.find(c.local, c.len);
    if (p == none)
        return;
    route *prev = nullptr;
    for (route *y = &head(t, c.slot, p); y != nullptr; prev = y, y = st.next_route(*y))
        if (names(*y, c)) {
            unlink(t, c.slot, p, prev, y);
            return;
        }
}

// Routes through nexthop objects go with their objects instead.
bool route_tables::all_through(const route &x, int index)
{
    return x.hop != none && (x.flags & route_object) == 0 &&
           st.find_hop(x, [this, index](u32 h) { return st.hops[h].nh.oif != index; }) == none;
}

// Takes out the routes of prefixes for which dies is true.
template <typename Prefixes, typename F>
void route_tables::drop_in(table *t, Prefixes &prefixes, int s, F dies)
{
    prefixes.each([&](u32 p) {
        route *prev = nullptr;
        route *y = &prefixes.value(p);
        while (y != nullptr) {
            if (!dies(*y)) {
                prev = y;
                y = st.next_route(*y);
            } else {
                const bool last = y->next == none; // else the next moves into y's place
                unlink(t, s, p, prev, y);
                if (last)
                    return;
            }
        }
    });
}

void route_tables::flush_device(int index, int slot, bool keep_host)
{
    const auto dies = [&](const route &y) {
        return all_through(y, index) && !(keep_host && (y.flags & route_host) != 0);
    };
    for (table *t : st.tables.list) {
        if (slot == v4)
            drop_in(t, t->v4, v4, dies);
        else
            drop_in(t, t->v6, v6, dies);
    }
}

// A walk of every table, when some route is bound to a doomed object.
void route_tables::flush_doomed()
{
    bool bound = false;
    for (hop &h : st.hops) {
        const object *o = h.refs > 0 && h.object != 0 ? st.find_object(h.object) : nullptr;
        h.doomed = o != nullptr && o->dying;
        bound = bound || h.doomed;
    }
    if (!bound)
        return;
    const auto dies = [&](const route &y) {
        return (y.flags & route_object) != 0 && st.hops[y.hop].doomed;
    };
    for (table *t : st.tables.list) {
        drop_in(t, t->v4, v4, dies);
        drop_in(t, t->v6, v6, dies);
    }
    for (hop &h : st.hops)
        h.doomed = false;
}

// Through objects or not, as the kernel flushes them (with a message of its
// own since some version; not before). Those of other tables stay, and keep
// it.
void route_tables::flush_source(const u8 *local)
{
    const auto names_it = [&](u32 x) {
        const hop &h = st.hops[x];
        return h.refs > 0 && h.slot == v4 && h.has_prefsrc && !h.bound &&
               std::memcmp(h.prefsrc, local, 4) == 0;
    };
    bool named = false;
    for (u32 x = 0; x < st.hops.n && !named; ++x)
        named = names_it(x);
    table *t = st.tables.find(RT_TABLE_MAIN);
    if (!named || t == nullptr)
        return;
    drop_in(t, t->v4, v4, [&](const route &y) {
        const u32 first = (y.flags & route_multipath) != 0 ? st.cells[y.hop].hop : y.hop;
        return first != none && names_it(first);
    });
}

} // namespace nearest_internal
