// SPDX-License-Identifier: ISC
// Whether the state is well-formed: every list ends, every index is in
// range, every reference is counted, every dependent is listed where it
// belongs. For the tests and the fuzzer, which apply changes at random and
// check after each; nothing on a lookup's path or an update's calls it.
#include "nearest_state.h"

#include <linux/rtnetlink.h>

#include <algorithm>

namespace nearest_internal {
namespace {
// Each address on its device's list once, and in the local table; each
// list's last where its device says.
bool valid_addresses(const state &st)
{
    u32 listed = 0;
    for (u32 i = 0; i < st.devices.n; ++i)
        for (int s = v4; s <= v6; ++s) {
            u32 last = none;
            for (u32 a = st.devices[i].first[s]; a != none;
                 last = a, a = st.addresses[a].next, ++listed)
                if (a >= st.addresses.n || listed > st.addresses.n ||
                    st.addresses[a].index != st.devices[i].index || st.addresses[a].slot != s ||
                    st.find_address(s, st.addresses[a].local) == none)
                    return false;
            if (last != st.devices[i].last[s])
                return false;
        }
    return true;
}

// Counts in *refs the nexthops that route x holds: its own, a binding, or
// those of a list.
bool count_hops(const state &st, const route &x, u32 *refs)
{
    if ((x.flags & route_multipath) == 0) {
        if (x.hop == none)
            return (x.flags & route_object) == 0;
        ++*refs;
        return x.hop < st.hops.n && st.hops[x.hop].refs > 0 &&
               ((x.flags & route_object) != 0) == (st.hops[x.hop].object != 0);
    }
    u32 n = 0;
    for (u32 c = x.hop; c != none; c = st.cells[c].next, ++n, ++*refs)
        if (c >= st.cells.n || n > st.cells.n)
            return false;
    return true;
}

// The routes of one prefix, counting the nexthops they hold in *refs.
bool valid_routes(const state &st, const route &first, u32 *refs)
{
    if (first.type == RTN_UNSPEC || !count_hops(st, first, refs))
        return false;
    u32 n = 0;
    for (u32 r = first.next; r != none; r = st.routes[r].next, ++n)
        if (r >= st.routes.n || n > st.routes.n || st.routes[r].type == RTN_UNSPEC ||
            !count_hops(st, st.routes[r], refs))
            return false;
    return true;
}

// A binding's members: its object's nexthop, or one for each member of
// its group; none for an object not followed. Counts them in *refs.
bool valid_binding(const state &st, const hop &b, u32 *refs)
{
    const u32 at = st.object_at(b.object);
    const object *o =
        at < st.objects.n && st.objects[at].id == b.object ? &st.objects[at] : nullptr;
    u32 n = 0;
    for (u32 c = b.members; c != none; c = st.cells[c].next, ++n, ++*refs)
        if (c >= st.cells.n || n > st.cells.n || st.cells[c].hop >= st.hops.n ||
            st.hops[st.cells[c].hop].object != 0)
            return false;
    u32 wanted = 0;
    if (b.kind == object_single || b.kind == object_group)
        for (u32 c = o != nullptr ? o->members : none; c != none; c = st.cells[c].next)
            ++wanted;
    if (b.kind == object_single)
        wanted = 1;
    return (o != nullptr || b.kind == object_unknown) && n == wanted &&
           (b.kind != object_single || o->kind == object_single);
}

bool valid_tables(const state &st)
{
    u32 refs = 0;
    bool ok = true;
    for (u32 i = 0; i < st.tables.list.n && ok; ++i) {
        const table &t = *st.tables.list[i];
        ok = t.v4.valid() && t.v6.valid();
        t.v4.each([&](u32 p) { ok = ok && valid_routes(st, t.v4.value(p), &refs); });
        t.v6.each([&](u32 p) { ok = ok && valid_routes(st, t.v6.value(p), &refs); });
        for (u32 k = 0; k < t.from.n && ok; ++k)
            ok = t.from[k].r.next == none && valid_routes(st, t.from[k].r, &refs) &&
                 (k == 0 || t.from[k - 1].dstlen >= t.from[k].dstlen);
    }
    u32 held = 0;
    for (u32 h = 0; h < st.hops.n && ok; ++h) {
        held += st.hops[h].refs;
        if (st.hops[h].refs > 0 && st.hops[h].object != 0)
            ok = valid_binding(st, st.hops[h], &refs);
    }
    return ok && held == refs;
}

// The nexthop objects by id, each once; a group's members listed.
bool valid_objects(const state &st)
{
    for (u32 i = 0; i < st.objects.n; ++i) {
        const object &o = st.objects[i];
        if ((i > 0 && st.objects[i - 1].id >= o.id) ||
            (o.kind != object_group && o.members != none))
            return false;
        u32 n = 0;
        for (u32 c = o.members; c != none; c = st.cells[c].next, ++n)
            if (c >= st.cells.n || n > st.cells.n)
                return false;
    }
    return true;
}

// Whether list c holds value, the list ending within the cells.
bool lists(const state &st, u32 c, u32 value)
{
    for (u32 n = 0; c != none && c < st.cells.n && n <= st.cells.n; c = st.cells[c].next, ++n)
        if (st.cells[c].hop == value)
            return true;
    return false;
}

// The bindings listed in list, each one bound to object id (or, for id 0,
// to an id the host holds no object of), counted in *listed.
bool valid_bindings(const state &st, u32 list, u32 id, u32 *listed)
{
    for (u32 c = list; c != none; c = st.cells[c].next, ++*listed) {
        if (c >= st.cells.n || *listed > st.hops.n || st.cells[c].hop >= st.hops.n)
            return false;
        const hop &b = st.hops[st.cells[c].hop];
        if (b.refs == 0 || b.object == 0 ||
            (id != 0 ? b.object != id : st.find_object(b.object) != nullptr))
            return false;
    }
    return true;
}

// What each object keeps of what depends on it: every binding listed once,
// with its object or among the strays; every group listed with each of its
// members, and none that does not hold it; a group with a member not held
// among the awaited, which are all groups.
bool valid_dependents(const state &st)
{
    u32 listed = 0;
    bool ok = valid_bindings(st, st.strays, 0, &listed);
    u32 pairs = 0;
    for (const object &o : st.objects) {
        ok = ok && valid_bindings(st, o.bound, o.id, &listed);
        for (u32 c = o.members; ok && c != none; c = st.cells[c].next) {
            const object *m = st.find_object(st.cells[c].hop);
            ok = m != nullptr ? lists(st, m->groups, o.id) : lists(st, st.awaited, o.id);
            pairs += m != nullptr ? 1 : 0;
        }
        for (u32 c = o.groups; ok && c != none; c = st.cells[c].next, --pairs) {
            const object *g = st.find_object(st.cells[c].hop);
            ok = g != nullptr && g->kind == object_group && lists(st, g->members, o.id);
        }
    }
    u32 waiting = 0;
    for (u32 c = st.awaited; ok && c != none; ++waiting) {
        const object *g = c < st.cells.n && waiting <= st.objects.n ? st.find_object(st.cells[c].hop)
                                                                     : nullptr;
        ok = g != nullptr && g->kind == object_group;
        c = ok ? st.cells[c].next : none;
    }
    const auto bindings = std::count_if(st.hops.begin(), st.hops.end(),
                                        [](const hop &h) { return h.refs > 0 && h.object != 0; });
    return ok && listed == static_cast<u32>(bindings) && pairs == 0;
}

// Each neighbour entry in no valid state, once; each nexthop marked just
// when one is its gateway's.
bool valid_neighbours(const state &st)
{
    for (u32 i = 0; i < st.unusable.n; ++i) {
        const neighbour &n = st.unusable[i];
        if ((n.nud & nud_valid) != 0 || st.find_unusable(n.index, n.slot, n.addr) != i)
            return false;
    }
    return std::all_of(st.hops.begin(), st.hops.end(), [&](const hop &h) {
        return h.refs == 0 || h.shunned == st.unusable_gateway(h);
    });
}

} // namespace

bool valid_state(const state &st)
{
    bool ok = st.local4.valid() && st.local6.valid() && valid_addresses(st) && valid_objects(st) &&
              valid_dependents(st) && valid_neighbours(st) && valid_tables(st);
    for (u32 i = 1; i < st.devices.n && ok; ++i)
        ok = st.devices[i - 1].index < st.devices[i].index;
    for (int s = v4; s <= v6 && ok; ++s)
        for (u32 i = 1; i < st.rules[s].n && ok; ++i)
            ok = st.rules[s][i - 1].priority <= st.rules[s][i].priority;
    return ok;
}

} // namespace nearest_internal
