// SPDX-License-Identifier: ISC
// Nexthop objects (ip nexthop) as the kernel's nexthop.c keeps them: by id,
// each with the groups that hold it and the bindings of routes to it, kept
// as the kernel keeps its grp_list and fi_list, so that a replace or a
// delete finds what it changes without a search. A binding is a shared hop
// with the object's id; its members are the object's nexthops as they are
// now, found anew when the object, or a member of the group, changes, so
// that its routes follow the object with no message of their own. A binding
// to an id the host has no object of waits among the strays, and is bound
// when the object comes. Changes objects, bindings and their cells; routes
// through objects that go are for the events to take away.
#include "nearest_write.h"

#include "report.h"

#include <cstring>

namespace nearest_internal {

object *nexthop_objects::find(u32 id)
{
    const u32 at = st.object_at(id);
    return at < st.objects.n && st.objects[at].id == id ? &st.objects[at] : nullptr;
}

void nexthop_objects::say_unfollowed()
{
    if (!st.unfollowed_said && !quiet)
        report(4, "nearest: a route goes through a nexthop object of a kind not followed; "
                  "destinations it reaches have no answer");
    st.unfollowed_said = true;
}

// The list that the bindings to object id are kept in.
u32 *nexthop_objects::bindings_of(u32 id)
{
    object *o = find(id);
    return o != nullptr ? &o->bound : &st.strays;
}

// The nexthop of binding b through single object o, shared.
u32 nexthop_objects::member_hop(u32 b, const object &o)
{
    hop h{};
    h.nh = o.nh;
    h.bound = true;
    h.slot = st.hops[b].slot;
    h.scope = st.hops[b].scope;
    h.has_prefsrc = st.hops[b].has_prefsrc;
    std::memcpy(h.prefsrc, st.hops[b].prefsrc, 16);
    return shared_hops(st, quiet).take(h);
}

// Adds the nexthop of object o to binding b's members, after *tail.
bool nexthop_objects::add_member(u32 b, const object &o, u32 *tail)
{
    shared_hops hops(st, quiet);
    const u32 h = member_hop(b, o);
    const u32 c = h != none ? hops.take_cell(h, none) : none;
    if (c == none) {
        hops.put(h);
        return false;
    }
    if (*tail == none)
        st.hops[b].members = c;
    else
        st.cells[*tail].next = c;
    *tail = c;
    return true;
}

// Finds binding b's members anew from its object as it is now: its
// nexthop, or those of a group's members, in the group's order. A group of
// one blackhole is a blackhole.
void nexthop_objects::bind(u32 b)
{
    unbind(b);
    const object *o = find(st.hops[b].object);
    u8 kind = o != nullptr ? o->kind : object_unknown;
    u32 tail = none;
    bool whole = true;
    if (kind == object_single) {
        whole = add_member(b, *o, &tail);
    } else if (kind == object_group) {
        for (u32 c = o->members; c != none && whole; c = st.cells[c].next) {
            const object *m = find(st.cells[c].hop);
            if (m != nullptr && m->kind == object_blackhole && o->members == c &&
                st.cells[c].next == none)
                kind = object_blackhole;
            else if (m == nullptr || m->kind != object_single)
                whole = false;
            else
                whole = add_member(b, *m, &tail);
        }
    }
    if (!whole) {
        unbind(b);
        kind = object_unknown;
    }
    st.hops[b].kind = kind;
    st.hops[b].resilient = kind == object_group && o->resilient;
    if (kind == object_unknown)
        say_unfollowed();
}

void nexthop_objects::unbind(u32 b)
{
    const u32 members = st.hops[b].members;
    st.hops[b].members = none;
    shared_hops(st, quiet).put_cells(members, true);
}

// Binds anew each binding of a list: a cell's value is its place in st.hops.
void nexthop_objects::bind_all(u32 list)
{
    for (u32 c = list; c != none; c = st.cells[c].next)
        bind(st.cells[c].hop);
}

u32 nexthop_objects::take_binding(const hop &b)
{
    shared_hops hops(st, quiet);
    const u32 x = hops.take(b);
    if (x == none || st.hops[x].refs > 1)
        return x;
    u32 *list = bindings_of(b.object);
    const u32 c = hops.take_cell(x, *list);
    if (c == none) {
        hops.put(x);
        return none;
    }
    *list = c;
    st.hops[x].members = none;
    bind(x);
    return x;
}

void nexthop_objects::put_binding(u32 x)
{
    if (x != none && st.hops[x].refs == 1) {
        unbind(x);
        shared_hops(st, quiet).unlist(bindings_of(st.hops[x].object), x);
    }
    shared_hops(st, quiet).put(x);
}

// Lists group g among the groups of each of its members (in), or takes it
// off their lists. A group with a member not held waits among the awaited
// until the member comes (at a dump, a group comes before members of
// higher ids).
void nexthop_objects::list_groups(const object &g, bool in)
{
    shared_hops hops(st, quiet);
    const u32 id = g.id;
    bool absent = false;
    for (u32 c = g.members; c != none; c = st.cells[c].next) {
        object *m = find(st.cells[c].hop);
        absent = absent || m == nullptr;
        if (m == nullptr)
            continue;
        if (!in) {
            hops.unlist(&m->groups, id);
        } else if (const u32 entry = hops.take_cell(id, m->groups); entry != none) {
            m->groups = entry;
        }
    }
    if (!in)
        hops.unlist(&st.awaited, id);
    else if (absent)
        if (const u32 entry = hops.take_cell(id, st.awaited); entry != none)
            st.awaited = entry;
}

// Lists, among the groups of new object o, those that waited for it.
void nexthop_objects::list_awaiting(object &o)
{
    shared_hops hops(st, quiet);
    for (u32 w = st.awaited; w != none; w = st.cells[w].next) {
        const object *g = find(st.cells[w].hop);
        for (u32 c = g != nullptr ? g->members : none; c != none; c = st.cells[c].next)
            if (st.cells[c].hop == o.id)
                if (const u32 entry = hops.take_cell(g->id, o.groups); entry != none)
                    o.groups = entry;
    }
}

void nexthop_objects::set(const change &c)
{
    shared_hops hops(st, quiet);
    object *o = find(c.object);
    if (o == nullptr) {
        o = st.objects.insert(st.object_at(c.object));
        if (o == nullptr) {
            if (!quiet)
                report(3, "nearest: out of memory; nexthop %u left out", c.object);
            return;
        }
        *o = object{c.object, object_unknown, {}, none, none, none, false, false, false};
        // The bindings that waited for it.
        for (u32 *at = &st.strays; *at != none;) {
            const u32 x = *at;
            if (st.hops[st.cells[x].hop].object != c.object) {
                at = &st.cells[x].next;
                continue;
            }
            *at = st.cells[x].next;
            st.cells[x].next = o->bound;
            o->bound = x;
        }
        list_awaiting(*o);
    }
    if (o->kind == object_group)
        list_groups(*o, false);
    hops.put_cells(o->members, false);
    o->members = none;
    o->kind = c.kind;
    o->resilient = c.resilient;
    o->nh = c.hops[0];
    for (int i = c.nmembers - 1; i >= 0 && o->kind == object_group; --i) {
        const u32 cell = hops.take_cell(c.members[i], o->members);
        if (cell == none) {
            hops.put_cells(o->members, false);
            o->members = none;
            o->kind = object_unknown;
            break;
        }
        o->members = cell;
    }
    if (o->kind == object_group)
        list_groups(*o, true);
    if (o->kind == object_unknown)
        say_unfollowed();
    bind_all(o->bound);
    for (u32 g = o->groups; g != none; g = st.cells[g].next)
        if (const object *group = find(st.cells[g].hop); group != nullptr)
            bind_all(group->bound);
}

// Marks the objects that go: those for which dies is true, and the groups
// left empty, which lose their dying members. Whether any goes.
template <typename F> bool nexthop_objects::doom_if(F dies)
{
    bool any = false;
    for (object &o : st.objects) {
        o.dying = o.kind != object_group && dies(o);
        any = any || o.dying;
    }
    for (object &g : st.objects)
        if (any && g.kind == object_group)
            shrink(g);
    for (object &g : st.objects) {
        g.dying = g.dying || (g.kind == object_group && (g.members == none || dies(g)));
        any = any || g.dying;
    }
    return any;
}

bool nexthop_objects::doom(u32 id)
{
    return doom_if([id](const object &o) { return o.id == id; });
}

bool nexthop_objects::doom_device(int index)
{
    return doom_if(
        [index](const object &o) { return o.kind == object_single && o.nh.oif == index; });
}

// Takes group g's dying members out of it.
void nexthop_objects::shrink(object &g)
{
    for (u32 *c = &g.members; *c != none;) {
        const object *m = find(st.cells[*c].hop);
        if (m == nullptr || !m->dying) {
            c = &st.cells[*c].next;
            continue;
        }
        const u32 gone = *c;
        *c = st.cells[gone].next;
        st.cells.give(gone, &cell::next);
        g.shrunk = true;
    }
}

void nexthop_objects::bury()
{
    shared_hops hops(st, quiet);
    u32 orphans = none; // the bindings left to objects that go
    for (object &o : st.objects) {
        if (!o.dying)
            continue;
        if (o.kind == object_group)
            list_groups(o, false); // its members that stay
        while (o.bound != none) {
            const u32 c = o.bound;
            o.bound = st.cells[c].next;
            st.cells[c].next = orphans;
            orphans = c;
        }
        hops.put_cells(o.members, false);
        hops.put_cells(o.groups, false);
    }
    u32 kept = 0;
    for (const object &o : st.objects)
        if (!o.dying)
            st.objects[kept++] = o;
    st.objects.n = kept;
    for (object &o : st.objects) {
        if (o.shrunk)
            bind_all(o.bound);
        o.shrunk = false;
    }
    for (u32 c = orphans; c != none;) {
        const u32 next = st.cells[c].next;
        st.cells[c].next = st.strays;
        st.strays = c;
        bind(st.cells[c].hop);
        c = next;
    }
}

} // namespace nearest_internal
