// SPDX-License-Identifier: ISC
// The host's state, kept from the kernel's changes: devices, their addresses
// in the kernel's order, the routes of every table and the policy rules. It
// also does what the kernel does without saying so: a device set down, or
// left without IPv4 addresses, loses its IPv4 routes with no RTM_DELROUTE.
#include "nearest_state.h"

#include "report.h"

#include <arpa/inet.h>
#include <linux/fib_rules.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <numeric>

namespace nearest_internal {
namespace {

constexpr unsigned iff_lower_up = 1U << 16; // IFF_LOWER_UP, which net/if.h leaves out

// --- Pools: arrays grown with grow(), their free elements linked through
// one field

// A free element of the pool, or a new one; none without memory.
template <typename T> u32 take(T **pool, u32 *cap, u32 *used, u32 *freed, u32 T::*link)
{
    const u32 x = *freed;
    if (x != none) {
        *freed = (*pool)[x].*link;
        return x;
    }
    return grow(pool, cap, *used + 1) ? (*used)++ : none;
}

// Room for one more element of a sorted array, at place at, the rest moved
// on; null without memory.
template <typename T> T *insert(T **array, u32 *n, u32 *cap, u32 at)
{
    if (!grow(array, cap, *n + 1))
        return nullptr;
    std::memmove(*array + at + 1, *array + at, (*n - at) * sizeof **array);
    ++*n;
    return *array + at;
}

template <typename T> void give(T *pool, u32 *freed, u32 T::*link, u32 x)
{
    pool[x].*link = *freed;
    *freed = x;
}

u32 hop_hash(const hop &h)
{
    u32 words[9];
    std::memcpy(words, h.nh.gateway, 16);
    std::memcpy(words + 4, h.prefsrc, 16);
    words[8] = static_cast<u32>(h.nh.oif) ^ (static_cast<u32>(h.slot) << 24) ^
               (static_cast<u32>(h.nh.gwslot + 1) << 16) ^ (h.has_prefsrc ? 1U : 0U) ^
               (h.object * 0x85ebca6bU) ^ (h.bound ? 2U : 0U);
    const u32 x = std::accumulate(std::begin(words), std::end(words), 0U,
                                  [](u32 a, u32 w) { return (a ^ w) * 0x9e3779b1U; });
    return x ^ (x >> 16);
}

bool same_hop(const hop &a, const hop &b)
{
    return a.slot == b.slot && a.scope == b.scope && a.object == b.object && a.bound == b.bound &&
           a.nh.gwslot == b.nh.gwslot && a.nh.oif == b.nh.oif &&
           std::memcmp(a.nh.gateway, b.nh.gateway, 16) == 0 && a.has_prefsrc == b.has_prefsrc &&
           std::memcmp(a.prefsrc, b.prefsrc, 16) == 0;
}

bool same_rule(const rule &a, const rule &b)
{
    return a.priority == b.priority && a.table == b.table && a.target == b.target &&
           a.action == b.action && a.invert == b.invert && a.srclen == b.srclen &&
           a.dstlen == b.dstlen && std::memcmp(a.src, b.src, 16) == 0 &&
           std::memcmp(a.dst, b.dst, 16) == 0 && a.tos == b.tos && a.mark == b.mark &&
           a.mask == b.mask && std::strcmp(a.iif, b.iif) == 0 && std::strcmp(a.oif, b.oif) == 0 &&
           a.uidlo == b.uidlo && a.uidhi == b.uidhi && a.ipproto == b.ipproto &&
           std::equal(a.sport, a.sport + 3, b.sport) && std::equal(a.dport, a.dport + 3, b.dport) &&
           a.needs == b.needs && a.suppress_len == b.suppress_len &&
           a.suppress_group == b.suppress_group;
}

// The place of device index in st.devices: where it is, or would go.
u32 device_at(const state &st, int index)
{
    u32 lo = 0;
    u32 hi = st.ndevices;
    while (lo < hi) {
        const u32 mid = (lo + hi) / 2;
        if (st.devices[mid].index < index)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// The changes to one copy of the state.
class updater {
  public:
    updater(state &s, bool q) : st(s), quiet(q)
    {
    }

    void apply(const change &c)
    {
        switch (c.type) {
        case RTM_NEWLINK:
            set_device(c);
            break;
        case RTM_DELLINK:
            drop_device(c.index);
            break;
        case RTM_NEWADDR:
            add_address(c);
            break;
        case RTM_DELADDR:
            drop_address(c);
            break;
        case RTM_NEWROUTE:
            add_route(c);
            break;
        case RTM_DELROUTE:
            drop_route(c);
            break;
        case RTM_NEWRULE:
            add_rule(c);
            break;
        case RTM_DELRULE:
            drop_rule(c);
            break;
        case RTM_NEWNEXTHOP:
            set_object(c);
            break;
        default:
            drop_object(c.object);
            break;
        }
    }

  private:
    state &st;
    bool quiet; // the other copy said what went wrong

    // --- Devices

    device *device_of(int index)
    {
        const u32 at = device_at(st, index);
        return at < st.ndevices && st.devices[at].index == index ? &st.devices[at] : nullptr;
    }

    void set_device(const change &c)
    {
        device *d = device_of(c.index);
        if (d == nullptr) {
            d = insert(&st.devices, &st.ndevices, &st.devcap, device_at(st, c.index));
            if (d == nullptr) {
                if (!quiet)
                    report(3, "nearest: out of memory; device %d left out", c.index);
                return;
            }
            *d = device{c.index, 0, 0, {}, {none, none}, {none, none}, 0};
        }
        const bool down = (d->flags & IFF_UP) != 0 && (c.flags & IFF_UP) == 0;
        const unsigned carrier = IFF_RUNNING | iff_lower_up;
        const bool lost = (d->flags & carrier) != 0 && (c.flags & carrier) == 0;
        d->flags = c.flags;
        d->group = c.group;
        if (c.name[0] != '\0')
            std::memcpy(d->name, c.name, sizeof d->name);
        ++st.gen;
        // Its nexthop objects go when it is down or loses its carrier, and
        // take their routes with them.
        if ((c.flags & IFF_UP) == 0 || lost)
            drop_objects_on(c.index);
        // Its IPv4 routes die with it, but for the host-scope ones: its
        // addresses stay local.
        if (down)
            drop_routes_through(c.index, v4, true);
    }

    void drop_device(int index)
    {
        device *d = device_of(index);
        if (d == nullptr)
            return;
        for (int s = v4; s <= v6; ++s)
            while (d->first[s] != none)
                unlink_address(d->first[s]);
        drop_objects_on(index);
        drop_routes_through(index, v4, false);
        drop_routes_through(index, v6, false);
        d = device_of(index);
        --st.ndevices;
        std::memmove(d, d + 1, static_cast<std::size_t>(st.devices + st.ndevices - d) * sizeof *d);
        ++st.gen;
    }

    // --- Addresses

    u32 *locals_of(int s, const u8 *local, bool make)
    {
        u32 p = s == v4 ? (make ? st.local4.add(local, 32) : st.local4.find(local, 32))
                        : (make ? st.local6.add(local, 128) : st.local6.find(local, 128));
        if (p == none)
            return nullptr;
        return s == v4 ? &st.local4.value(p) : &st.local6.value(p);
    }

    // The address the change names, found among those with its local address.
    u32 find_on_device(const change &c, const u8 *net)
    {
        for (u32 a = st.find_address(c.slot, c.local); a != none; a = st.addresses[a].same) {
            const address &x = st.addresses[a];
            if (x.index == c.index && x.len == c.len && std::memcmp(x.net, net, 16) == 0)
                return a;
        }
        return none;
    }

    // Where a new address goes in its device's list, as the kernel puts it: a
    // dump's in the order given; an IPv4 primary after the last primary of a
    // scope as wide or wider, a secondary last; an IPv6 one before the first of
    // a scope as narrow or narrower.
    u32 *place_for(device *d, const address &x, bool dumped) const
    {
        if (dumped || (x.slot == v4 && (x.flags & IFA_F_SECONDARY) != 0))
            return d->last[x.slot] != none ? &st.addresses[d->last[x.slot]].next
                                           : &d->first[x.slot];
        u32 *at = &d->first[x.slot];
        if (x.slot == v6) {
            const int mine = scope6(x.local);
            while (*at != none && scope6(st.addresses[*at].local) > mine)
                at = &st.addresses[*at].next;
            return at;
        }
        u32 *after = &d->first[v4];
        for (; *at != none; at = &st.addresses[*at].next)
            if ((st.addresses[*at].flags & IFA_F_SECONDARY) == 0 &&
                x.scope <= st.addresses[*at].scope)
                after = &st.addresses[*at].next;
        return after;
    }

    void add_address(const change &c)
    {
        device *d = device_of(c.index);
        if (d == nullptr) // an address arrives after its device
            return;
        u8 net[16];
        mask_key(net, c.peer, c.len, sizeof net);
        if (const u32 found = find_on_device(c, net); found != none) {
            st.addresses[found].flags = c.flags;
            st.addresses[found].scope = static_cast<u8>(c.scope);
            ++st.gen;
            return;
        }
        const u32 a =
            take(&st.addresses, &st.addrcap, &st.naddresses, &st.addrfreed, &address::next);
        u32 *locals = a != none ? locals_of(c.slot, c.local, true) : nullptr;
        if (locals == nullptr) {
            if (a != none)
                give(st.addresses, &st.addrfreed, &address::next, a);
            char text[INET6_ADDRSTRLEN];
            inet_ntop(c.slot == v4 ? AF_INET : AF_INET6, c.local, text, sizeof text);
            if (!quiet)
                report(3, "nearest: out of memory; %s/%d on device %d left out", text, c.len,
                       c.index);
            return;
        }
        address &x = st.addresses[a];
        std::memcpy(x.local, c.local, 16);
        std::memcpy(x.net, net, 16);
        x.flags = c.flags;
        x.index = c.index;
        x.slot = static_cast<u8>(c.slot);
        x.len = static_cast<u8>(c.len);
        x.scope = static_cast<u8>(c.scope);
        x.same = *locals;
        *locals = a;
        u32 *at = place_for(d, x, (c.nlflags & NLM_F_MULTI) != 0);
        x.next = *at;
        *at = a;
        if (x.next == none)
            d->last[c.slot] = a;
        if (c.slot == v4)
            ++d->count4;
        ++st.gen;
    }

    // Takes address a off its device and out of the local table.
    void unlink_address(u32 a)
    {
        address &x = st.addresses[a];
        device *d = device_of(x.index);
        if (d == nullptr) // never: a device goes after its addresses
            return;
        u32 prev = none;
        u32 *at = &d->first[x.slot];
        while (*at != a) {
            prev = *at;
            at = &st.addresses[*at].next;
        }
        *at = x.next;
        if (d->last[x.slot] == a)
            d->last[x.slot] = prev;
        if (x.slot == v4)
            --d->count4;
        const u32 p = x.slot == v4 ? st.local4.find(x.local, 32) : st.local6.find(x.local, 128);
        u32 *first = x.slot == v4 ? &st.local4.value(p) : &st.local6.value(p);
        for (at = first; *at != a;)
            at = &st.addresses[*at].same;
        *at = x.same;
        if (*first == none) {
            if (x.slot == v4)
                st.local4.remove(p);
            else
                st.local6.remove(p);
        }
        x.len = 0xff; // marks it free
        give(st.addresses, &st.addrfreed, &address::next, a);
        ++st.gen;
    }

    void drop_address(const change &c)
    {
        u8 net[16];
        mask_key(net, c.peer, c.len, sizeof net);
        const u32 a = find_on_device(c, net);
        if (a == none)
            return;
        unlink_address(a);
        // A device's last IPv4 address takes its IPv4 routes with it.
        if (const device *d = device_of(c.index); c.slot == v4 && d != nullptr && d->count4 == 0)
            drop_routes_through(c.index, v4, false);
        if (c.slot == v6)
            forget_source6(c.local);
        else if (st.find_address(v4, c.local) == none)
            drop_routes_from(c.local);
    }

    // Whether the host still holds IPv6 address local for a route through
    // device index: on that device, or of a wider scope than link on
    // another; a tentative one is not held yet.
    bool holds6(const u8 *local, int index) const
    {
        for (u32 a = st.find_address(v6, local); a != none; a = st.addresses[a].same) {
            const address &x = st.addresses[a];
            if ((x.flags & IFA_F_TENTATIVE) == 0 &&
                (x.index == index || (x.scope != RT_SCOPE_LINK && x.scope != RT_SCOPE_HOST)))
                return true;
        }
        return false;
    }

    // An IPv6 address gone: the routes that named it as their preferred
    // source, in every table, forget it where the host no longer holds it,
    // without a message; but for those through nexthop objects, which keep
    // it. (Before Linux 6.6 only the routes through its own device forgot it,
    // held elsewhere or not.)
    void forget_source6(const u8 *local)
    {
        for (u32 x = 0; x < st.nhops; ++x) {
            const hop &h = st.hops[x];
            if (h.refs > 0 && h.slot == v6 && h.has_prefsrc && !h.bound && h.object == 0 &&
                std::memcmp(h.prefsrc, local, 16) == 0 && !holds6(local, h.nh.oif))
                forget_prefsrc(x);
        }
    }

    // An IPv4 address gone from the host: the routes of the main table
    // that name it as their preferred source go, through objects or not, as
    // the kernel flushes them (with a message of its own since some
    // version; not before). Those of other tables stay, and keep it.
    void drop_routes_from(const u8 *local)
    {
        const auto names_it = [&](u32 x) {
            const hop &h = st.hops[x];
            return h.refs > 0 && h.slot == v4 && h.has_prefsrc && !h.bound &&
                   std::memcmp(h.prefsrc, local, 4) == 0;
        };
        bool named = false;
        for (u32 x = 0; x < st.nhops && !named; ++x)
            named = names_it(x);
        table *t = table_of(RT_TABLE_MAIN, false);
        if (!named || t == nullptr)
            return;
        drop_in(t, t->v4, v4, [&](const route &y) {
            const u32 first = (y.flags & route_multipath) != 0 ? st.cells[y.hop].hop : y.hop;
            return first != none && names_it(first);
        });
    }

    // --- Nexthops, shared

    void rehash_hops()
    {
        u32 n = 64;
        while (n < st.nhops * 2)
            n *= 2;
        if (n <= st.nhopbuckets)
            return;
        void *p = std::malloc(n * sizeof(u32));
        if (p == nullptr)
            return;
        std::free(st.hopbuckets);
        st.hopbuckets = static_cast<u32 *>(p);
        st.nhopbuckets = n;
        for (u32 i = 0; i < n; ++i)
            st.hopbuckets[i] = none;
        for (u32 h = 0; h < st.nhops; ++h)
            if (st.hops[h].refs > 0) {
                u32 &b = st.hopbuckets[hop_hash(st.hops[h]) & (n - 1)];
                st.hops[h].chain = b;
                b = h;
            }
    }

    // The shared copy of h, with one more reference; none without memory.
    u32 take_hop(const hop &h)
    {
        if (st.nhopbuckets > 0)
            for (u32 x = st.hopbuckets[hop_hash(h) & (st.nhopbuckets - 1)]; x != none;
                 x = st.hops[x].chain)
                if (same_hop(st.hops[x], h)) {
                    ++st.hops[x].refs;
                    return x;
                }
        const u32 x = take(&st.hops, &st.hopcap, &st.nhops, &st.hopfreed, &hop::chain);
        if (x == none)
            return none;
        st.hops[x].refs = 0; // not yet in the hash that rehash_hops() makes
        rehash_hops();
        if (st.nhopbuckets == 0) {
            give(st.hops, &st.hopfreed, &hop::chain, x);
            return none;
        }
        st.hops[x] = h;
        st.hops[x].refs = 1;
        st.hops[x].gen = st.gen - 1;
        st.fresh_gen = none; // its device and source are to be found
        u32 &b = st.hopbuckets[hop_hash(h) & (st.nhopbuckets - 1)];
        st.hops[x].chain = b;
        b = x;
        return x;
    }

    void put_hop(u32 x)
    {
        if (x == none || --st.hops[x].refs > 0)
            return;
        unhash(x);
        give(st.hops, &st.hopfreed, &hop::chain, x);
    }

    // The shared binding b, with its object's nexthops when it is new;
    // none without memory.
    u32 take_binding(const hop &b)
    {
        const u32 x = take_hop(b);
        if (x != none && st.hops[x].refs == 1) {
            st.hops[x].members = none;
            bind(x);
        }
        return x;
    }

    // Gives back the binding x, with its object's nexthops when it was the last.
    void put_binding(u32 x)
    {
        if (x != none && st.hops[x].refs == 1)
            unbind(x);
        put_hop(x);
    }

    void unhash(u32 x) const
    {
        u32 *at = &st.hopbuckets[hop_hash(st.hops[x]) & (st.nhopbuckets - 1)];
        while (*at != x)
            at = &st.hops[*at].chain;
        *at = st.hops[x].chain;
    }

    // Forgets the preferred source of nexthop x, as the kernel does when
    // the address goes; its routes keep it, and the kernel chooses anew.
    void forget_prefsrc(u32 x)
    {
        unhash(x);
        hop &h = st.hops[x];
        h.has_prefsrc = false;
        std::memset(h.prefsrc, 0, sizeof h.prefsrc);
        h.gen = st.gen - 1;
        st.fresh_gen = none;
        u32 &b = st.hopbuckets[hop_hash(h) & (st.nhopbuckets - 1)];
        h.chain = b;
        b = x;
    }

    u32 take_cell(u32 h, u32 next)
    {
        const u32 x = take(&st.cells, &st.cellcap, &st.ncells, &st.cellfreed, &cell::next);
        if (x != none)
            st.cells[x] = cell{h, next};
        return x;
    }

    // Gives back a list of cells, and the nexthops they hold when hops.
    void put_cells(u32 c, bool hops)
    {
        while (c != none) {
            const u32 next = st.cells[c].next;
            if (hops)
                put_hop(st.cells[c].hop);
            give(st.cells, &st.cellfreed, &cell::next, c);
            c = next;
        }
    }

    // --- Nexthop objects, and the bindings of routes to them

    object *object_of(u32 id)
    {
        const u32 at = st.object_at(id);
        return at < st.nobjects && st.objects[at].id == id ? &st.objects[at] : nullptr;
    }

    void say_unfollowed()
    {
        if (!st.unfollowed_said && !quiet)
            report(4, "nearest: a route goes through a nexthop object of a kind not followed; "
                      "destinations it reaches have no answer");
        st.unfollowed_said = true;
    }

    // The nexthop of binding b through single object o, shared.
    u32 member_hop(u32 b, const object &o)
    {
        hop h{};
        h.nh = o.nh;
        h.bound = true;
        h.slot = st.hops[b].slot;
        h.scope = st.hops[b].scope;
        h.has_prefsrc = st.hops[b].has_prefsrc;
        std::memcpy(h.prefsrc, st.hops[b].prefsrc, 16);
        return take_hop(h);
    }

    // Adds the nexthop of object o to binding b's members, after *tail.
    bool add_member(u32 b, const object &o, u32 *tail)
    {
        const u32 h = member_hop(b, o);
        const u32 c = h != none ? take_cell(h, none) : none;
        if (c == none) {
            put_hop(h);
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
    // nexthop, or those of a group's members, in the group's order. A
    // group of one blackhole is a blackhole.
    void bind(u32 b)
    {
        unbind(b);
        const object *o = object_of(st.hops[b].object);
        u8 kind = o != nullptr ? o->kind : object_unknown;
        u32 tail = none;
        bool whole = true;
        if (kind == object_single) {
            whole = add_member(b, *o, &tail);
        } else if (kind == object_group) {
            for (u32 c = o->members; c != none && whole; c = st.cells[c].next) {
                const object *m = object_of(st.cells[c].hop);
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
        if (kind == object_unknown)
            say_unfollowed();
    }

    void unbind(u32 b)
    {
        const u32 members = st.hops[b].members;
        st.hops[b].members = none;
        put_cells(members, true);
    }

    // Whether object o is id, or a group that holds it.
    [[nodiscard]] bool involves(const object &o, u32 id) const
    {
        if (o.id == id)
            return true;
        for (u32 c = o.kind == object_group ? o.members : none; c != none; c = st.cells[c].next)
            if (st.cells[c].hop == id)
                return true;
        return false;
    }

    // Binds anew every binding to object id, or to a group that holds it:
    // those objects are found first, so that a replace among thousands of
    // objects costs a pass over the bindings, not a search for each. Past
    // 64 groups, every binding is bound anew.
    void rebind(u32 id)
    {
        u32 ids[64];
        u32 n = 0;
        ids[n++] = id;
        bool every = false;
        for (u32 i = 0; i < st.nobjects; ++i)
            if (st.objects[i].kind == object_group && st.objects[i].id != id &&
                involves(st.objects[i], id)) {
                every = every || n == std::size(ids);
                if (!every)
                    ids[n++] = st.objects[i].id;
            }
        for (u32 b = 0; b < st.nhops; ++b)
            if (st.hops[b].refs > 0 && st.hops[b].object != 0 &&
                (every || std::find(ids, ids + n, st.hops[b].object) != ids + n))
                bind(b);
    }

    void set_object(const change &c)
    {
        object *o = object_of(c.object);
        if (o == nullptr) {
            o = insert(&st.objects, &st.nobjects, &st.objcap, st.object_at(c.object));
            if (o == nullptr) {
                if (!quiet)
                    report(3, "nearest: out of memory; nexthop %u left out", c.object);
                return;
            }
            *o = object{c.object, object_unknown, {}, none, false, false};
        }
        put_cells(o->members, false);
        o->members = none;
        o->kind = c.kind;
        o->nh = c.hops[0];
        for (int i = c.nmembers - 1; i >= 0 && o->kind == object_group; --i) {
            const u32 cell = take_cell(c.members[i], o->members);
            if (cell == none) {
                o->kind = object_unknown;
                break;
            }
            o->members = cell;
        }
        if (o->kind == object_unknown)
            say_unfollowed();
        rebind(c.object);
    }

    // Takes away the objects for which dies is true, and the routes through
    // them, as the kernel does, with a message or without one; the groups
    // that held them shrink, and go when they empty. One walk of the tables
    // for them all: a device set down may take thousands.
    template <typename F> void drop_objects(F dies)
    {
        if (!doom(dies))
            return;
        drop_routes_bound();
        u32 kept = 0;
        for (u32 i = 0; i < st.nobjects; ++i) {
            object &o = st.objects[i];
            if (o.dying)
                put_cells(o.members, false);
            else
                st.objects[kept++] = o;
        }
        st.nobjects = kept;
        for (u32 b = 0; b < st.nhops; ++b) {
            if (st.hops[b].refs == 0 || st.hops[b].object == 0)
                continue;
            const object *o = object_of(st.hops[b].object);
            if (o == nullptr ? st.hops[b].kind != object_unknown : o->shrunk)
                bind(b);
        }
        for (u32 i = 0; i < st.nobjects; ++i)
            st.objects[i].shrunk = false;
    }

    // Marks the objects that go: those for which dies is true, and the
    // groups left empty, which lose their dying members. Whether any goes.
    template <typename F> bool doom(F dies)
    {
        bool any = false;
        for (u32 i = 0; i < st.nobjects; ++i) {
            object &o = st.objects[i];
            o.dying = o.kind != object_group && dies(o);
            any = any || o.dying;
        }
        for (u32 i = 0; i < st.nobjects && any; ++i)
            if (st.objects[i].kind == object_group)
                shrink(st.objects[i]);
        for (u32 i = 0; i < st.nobjects; ++i) {
            object &g = st.objects[i];
            g.dying = g.dying || (g.kind == object_group && (g.members == none || dies(g)));
            any = any || g.dying;
        }
        return any;
    }

    // Takes group g's dying members out of it.
    void shrink(object &g)
    {
        for (u32 *c = &g.members; *c != none;) {
            const object *m = object_of(st.cells[*c].hop);
            if (m == nullptr || !m->dying) {
                c = &st.cells[*c].next;
                continue;
            }
            const u32 gone = *c;
            *c = st.cells[gone].next;
            give(st.cells, &st.cellfreed, &cell::next, gone);
            g.shrunk = true;
        }
    }

    void drop_object(u32 id)
    {
        drop_objects([id](const object &o) { return o.id == id; });
    }

    // The kernel's silent flush of the nexthop objects through a device.
    void drop_objects_on(int index)
    {
        drop_objects(
            [index](const object &o) { return o.kind == object_single && o.nh.oif == index; });
    }

    // --- Routes

    table *table_of(u32 id, bool make)
    {
        for (u32 i = 0; i < st.ntables; ++i)
            if (st.tables[i]->id == id)
                return st.tables[i];
        if (!make || !grow(&st.tables, &st.tablecap, st.ntables + 1))
            return nullptr;
        // malloc and placement new: the library needs no C++ runtime.
        void *room = std::malloc(sizeof(table));
        if (room == nullptr)
            return nullptr;
        auto *t = new (room) table;
        t->id = id;
        st.tables[st.ntables++] = t;
        return t;
    }

    // The first route of prefix p in slot s of table t, in its record.
    static route &head(table *t, int s, u32 p)
    {
        return s == v4 ? t->v4.value(p) : t->v6.value(p);
    }

    // Gives back the nexthops that route x holds.
    void release(const route &x)
    {
        if ((x.flags & route_object) != 0)
            put_binding(x.hop);
        else if ((x.flags & route_multipath) == 0)
            put_hop(x.hop);
        else
            put_cells(x.hop, true);
    }

    // Gives back element r of st.routes, its route moved or released.
    void free_slot(u32 r)
    {
        st.routes[r].type = RTN_UNSPEC; // marks it free
        give(st.routes, &st.routefreed, &route::next, r);
    }

    // The route that the change describes, into *x, with its nexthops shared;
    // false without memory.
    bool make_route(const change &c, route *x)
    {
        const u8 flags = static_cast<u8>((c.protocol == RTPROT_KERNEL ? route_kernel : 0) |
                                         (c.scope == RT_SCOPE_HOST ? route_host : 0) |
                                         (c.nhops > 1 ? route_multipath : 0) |
                                         (c.object != 0 ? route_object : 0));
        *x = route{c.metric, none, none, static_cast<u8>(c.tos), static_cast<u8>(c.rtype), flags};
        if (c.object != 0) {
            hop b{};
            b.nh.gwslot = -1;
            b.object = c.object;
            b.slot = static_cast<u8>(c.slot);
            b.scope = static_cast<u8>(c.scope);
            b.has_prefsrc = c.has_prefsrc;
            std::memcpy(b.prefsrc, c.prefsrc, 16);
            x->hop = take_binding(b);
            return x->hop != none;
        }
        for (int i = c.nhops - 1; i >= 0; --i) {
            hop h{};
            h.nh = c.hops[i];
            h.slot = static_cast<u8>(c.slot);
            h.scope = static_cast<u8>(c.scope);
            h.has_prefsrc = c.has_prefsrc;
            std::memcpy(h.prefsrc, c.prefsrc, 16);
            const u32 shared = take_hop(h);
            const u32 more = shared == none || c.nhops == 1 ? shared : take_cell(shared, x->hop);
            if (more == none) {
                put_hop(shared);
                release(*x);
                return false;
            }
            x->hop = more;
        }
        return true;
    }

    // Whether route x is the one change c names: the same tos, metric, type and
    // preferred source, and the same first nexthop when c gives one. The kernel
    // keeps two local routes to an address that is both primary and, in another
    // subnet, secondary: they differ only in their preferred source.
    bool names(const route &x, const change &c)
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
    bool place(route &first, route x, const change &c, u32 spare)
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

    void add_route(const change &c)
    {
        table *t = table_of(c.table, true);
        if (c.srclen > 0) {
            if (t != nullptr)
                add_source(t, c);
            return;
        }
        const u32 p = t == nullptr   ? none
                      : c.slot == v4 ? t->v4.add(c.local, c.len)
                                     : t->v6.add(c.local, c.len);
        // Room in st.routes first: taking it may move them.
        const u32 spare =
            p == none ? none
                      : take(&st.routes, &st.routecap, &st.nroutes, &st.routefreed, &route::next);
        route x;
        if (spare == none || !make_route(c, &x)) {
            if (spare != none)
                free_slot(spare);
            if (p != none && head(t, c.slot, p).type == RTN_UNSPEC)
                c.slot == v4 ? t->v4.remove(p) : t->v6.remove(p);
            char text[INET6_ADDRSTRLEN];
            inet_ntop(c.slot == v4 ? AF_INET : AF_INET6, c.local, text, sizeof text);
            if (!quiet)
                report(3, "nearest: out of memory; route %s/%d left out", text, c.len);
            return;
        }
        if (!place(head(t, c.slot, p), x, c, spare))
            free_slot(spare);
    }

    // Takes route y out of prefix p's routes (prev the one before it, or null
    // for the first), and the prefix when it empties. The route after y, if
    // any, moves into y's place.
    void unlink_route(table *t, int s, u32 p, route *prev, route *y)
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

    void drop_route(const change &c)
    {
        table *t = table_of(c.table, false);
        if (c.srclen > 0) {
            for (u32 i = 0; t != nullptr && i < t->nfrom; ++i)
                if (of(t->from[i], c) && names(t->from[i].r, c)) {
                    drop_source(t, i);
                    return;
                }
            return;
        }
        const u32 p = t == nullptr   ? none
                      : c.slot == v4 ? t->v4.find(c.local, c.len)
                                     : t->v6.find(c.local, c.len);
        if (p == none)
            return;
        route *prev = nullptr;
        for (route *y = &head(t, c.slot, p); y != nullptr; prev = y, y = st.next_route(*y))
            if (names(*y, c)) {
                unlink_route(t, c.slot, p, prev, y);
                return;
            }
    }

    // Whether every nexthop of route x is on device index. Routes through
    // nexthop objects go with their objects instead.
    bool all_through(const route &x, int index)
    {
        return x.hop != none && (x.flags & route_object) == 0 &&
               st.find_hop(x, [this, index](u32 h) { return st.hops[h].nh.oif != index; }) == none;
    }

    // Takes out the routes of prefixes for which dies is true.
    template <typename Prefixes, typename F>
    void drop_in(table *t, Prefixes &prefixes, int s, F dies)
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
                    unlink_route(t, s, p, prev, y);
                    if (last)
                        return;
                }
            }
        });
    }

    // The kernel's silent flush of the routes through a device.
    void drop_routes_through(int index, int slot, bool keep_host)
    {
        const auto dies = [&](const route &y) {
            return all_through(y, index) && !(keep_host && (y.flags & route_host) != 0);
        };
        for (u32 i = 0; i < st.ntables; ++i) {
            table *t = st.tables[i];
            if (slot == v4) {
                drop_in(t, t->v4, v4, dies);
                continue;
            }
            drop_in(t, t->v6, v6, dies);
            for (u32 k = t->nfrom; k-- > 0;)
                if (all_through(t->from[k].r, index))
                    drop_source(t, k);
        }
    }

    // The routes through dying nexthop objects, taken out with them: a walk
    // of every table, when some route is bound to one.
    void drop_routes_bound()
    {
        bool bound = false;
        for (u32 b = 0; b < st.nhops; ++b) {
            hop &h = st.hops[b];
            const object *o = h.refs > 0 && h.object != 0 ? object_of(h.object) : nullptr;
            h.doomed = o != nullptr && o->dying;
            bound = bound || h.doomed;
        }
        if (!bound)
            return;
        const auto dies = [&](const route &y) {
            return (y.flags & route_object) != 0 && st.hops[y.hop].doomed;
        };
        for (u32 i = 0; i < st.ntables; ++i) {
            drop_in(st.tables[i], st.tables[i]->v4, v4, dies);
            drop_in(st.tables[i], st.tables[i]->v6, v6, dies);
        }
        for (u32 b = 0; b < st.nhops; ++b)
            st.hops[b].doomed = false;
    }

    // --- Source-specific routes, in a list of each table: few hosts have any

    // Whether source route e is of the prefixes change c names.
    static bool of(const source_route &e, const change &c)
    {
        u8 dst[16];
        u8 src[16];
        mask_key(dst, c.local, c.len, sizeof dst);
        mask_key(src, c.src, c.srclen, sizeof src);
        return e.dstlen == c.len && e.srclen == c.srclen && std::memcmp(e.dst, dst, 16) == 0 &&
               std::memcmp(e.src, src, 16) == 0;
    }

    // Where a new source route goes: longest destination first, then
    // longest source, then after those of its prefixes whose metric is as
    // low or lower.
    static u32 place_of(const table &t, const change &c)
    {
        u32 at = 0;
        while (at < t.nfrom) {
            const source_route &e = t.from[at];
            if (e.dstlen < c.len || (e.dstlen == c.len && e.srclen < c.srclen) ||
                (of(e, c) && e.r.metric > c.metric))
                break;
            ++at;
        }
        return at;
    }

    void add_source(table *t, const change &c)
    {
        route x;
        if (!grow(&t->from, &t->fromcap, t->nfrom + 1) || !make_route(c, &x)) {
            if (!quiet)
                report(3, "nearest: out of memory; a route from %d bits left out", c.srclen);
            return;
        }
        // Met twice, by an event and then by a dump, or replaced: in place.
        for (u32 i = 0; i < t->nfrom; ++i)
            if (of(t->from[i], c) &&
                (names(t->from[i].r, c) ||
                 ((c.nlflags & NLM_F_REPLACE) != 0 && t->from[i].r.metric == c.metric))) {
                release(t->from[i].r);
                t->from[i].r = x;
                return;
            }
        const u32 at = place_of(*t, c);
        std::memmove(t->from + at + 1, t->from + at, (t->nfrom - at) * sizeof *t->from);
        source_route &e = t->from[at];
        mask_key(e.dst, c.local, c.len, sizeof e.dst);
        mask_key(e.src, c.src, c.srclen, sizeof e.src);
        e.dstlen = static_cast<u8>(c.len);
        e.srclen = static_cast<u8>(c.srclen);
        e.r = x;
        ++t->nfrom;
    }

    void drop_source(table *t, u32 i)
    {
        release(t->from[i].r);
        std::memmove(t->from + i, t->from + i + 1, (t->nfrom - i - 1) * sizeof *t->from);
        --t->nfrom;
    }

    // --- Rules

    void add_rule(const change &c)
    {
        rule_list &list = st.rules[c.slot];
        for (u32 i = 0; i < list.n; ++i)
            if (same_rule(list.list[i], c.r))
                return; // the kernel keeps no two alike: met twice
        if (!grow(&list.list, &list.cap, list.n + 1)) {
            if (!quiet)
                report(3, "nearest: out of memory; rule %u left out", c.r.priority);
            return;
        }
        u32 at = list.n;
        while (at > 0 && list.list[at - 1].priority > c.r.priority)
            --at;
        std::memmove(list.list + at + 1, list.list + at, (list.n - at) * sizeof(rule));
        list.list[at] = c.r;
        ++list.n;
    }

    void drop_rule(const change &c)
    {
        rule_list &list = st.rules[c.slot];
        for (u32 i = 0; i < list.n; ++i)
            if (same_rule(list.list[i], c.r)) {
                std::memmove(list.list + i, list.list + i + 1, (list.n - i - 1) * sizeof(rule));
                --list.n;
                return;
            }
    }
};

} // namespace

const device *state::find_device(int index) const
{
    const u32 at = device_at(*this, index);
    return at < ndevices && devices[at].index == index ? &devices[at] : nullptr;
}

const device *state::find_device(const char *name) const
{
    for (u32 i = 0; i < ndevices; ++i)
        if (std::strncmp(devices[i].name, name, sizeof devices[i].name) == 0)
            return &devices[i];
    return nullptr;
}

const table *state::find_table(u32 id) const
{
    for (u32 i = 0; i < ntables; ++i)
        if (tables[i]->id == id)
            return tables[i];
    return nullptr;
}

u32 state::object_at(u32 id) const
{
    u32 lo = 0;
    u32 hi = nobjects;
    while (lo < hi) {
        const u32 mid = (lo + hi) / 2;
        if (objects[mid].id < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

u32 state::find_address(int s, const u8 *local) const
{
    const u32 p = s == v4 ? local4.find(local, 32) : local6.find(local, 128);
    return p == none ? none : s == v4 ? local4.value(p) : local6.value(p);
}

void apply(state &st, const change &c, bool quiet)
{
    updater(st, quiet).apply(c);
}

// The kernel's IPv4 choice for a route of this scope through device index
// and gateway gw (null when on-link): the first primary address of the
// device that reaches far enough, one whose subnet holds the gateway first;
// failing those, the first of another device that is not link-scoped.
u32 choose4(const state &st, int index, const u8 *gw, int scope)
{
    const auto secondary = [](const address &a) { return (a.flags & IFA_F_SECONDARY) != 0; };
    const device *d = st.find_device(index);
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

void refresh(state &st)
{
    if (st.fresh_gen == st.gen)
        return;
    for (u32 h = 0; h < st.nhops; ++h) {
        hop &x = st.hops[h];
        if (x.refs == 0 || x.gen == st.gen || x.object != 0) // a binding's members answer
            continue;
        const device *d = st.find_device(x.nh.oif);
        x.device = d != nullptr ? static_cast<u32>(d - st.devices) : none;
        if (x.has_prefsrc)
            x.source = st.find_address(x.slot, x.prefsrc);
        else if (x.slot == v4)
            x.source = choose4(st, x.nh.oif, x.nh.gwslot == v4 ? x.nh.gateway : nullptr, x.scope);
        else
            x.source = none; // IPv6 chooses for each destination
        x.gen = st.gen;
    }
    st.fresh_gen = st.gen;
}

void clear_state(state &st)
{
    st.ndevices = 0;
    st.naddresses = 0;
    st.addrfreed = none;
    st.local4.clear();
    st.local6.clear();
    st.nroutes = st.nhops = st.ncells = st.nobjects = 0;
    st.routefreed = st.hopfreed = st.cellfreed = none;
    for (u32 i = 0; i < st.nhopbuckets; ++i)
        st.hopbuckets[i] = none;
    for (u32 i = 0; i < st.ntables; ++i) {
        st.tables[i]->v4.clear();
        st.tables[i]->v6.clear();
        st.tables[i]->nfrom = 0;
    }
    st.rules[v4].n = st.rules[v6].n = 0;
    ++st.gen;
}

namespace {

// Copies n elements of from into *to, grown to hold them.
template <typename T> bool copy_array(T **to, u32 *cap, const T *from, u32 n)
{
    if (!grow(to, cap, n))
        return false;
    if (n > 0)
        std::memcpy(*to, from, std::size_t{n} * sizeof(T));
    return true;
}

bool copy_tables(state &to, const state &from)
{
    for (u32 i = 0; i < to.ntables; ++i) {
        to.tables[i]->v4.clear();
        to.tables[i]->v6.clear();
        to.tables[i]->nfrom = 0;
    }
    for (u32 i = 0; i < from.ntables; ++i) {
        const table &f = *from.tables[i];
        table *t = const_cast<table *>(to.find_table(f.id)); // NOLINT: to is ours to change
        if (t == nullptr) {
            if (!grow(&to.tables, &to.tablecap, to.ntables + 1))
                return false;
            void *room = std::malloc(sizeof(table));
            if (room == nullptr)
                return false;
            t = new (room) table;
            t->id = f.id;
            to.tables[to.ntables++] = t;
        }
        if (!t->v4.assign(f.v4) || !t->v6.assign(f.v6) ||
            !copy_array(&t->from, &t->fromcap, f.from, f.nfrom))
            return false;
        t->nfrom = f.nfrom;
    }
    return true;
}

} // namespace

bool copy_state(state &to, const state &from)
{
    const bool ok =
        copy_array(&to.devices, &to.devcap, from.devices, from.ndevices) &&
        copy_array(&to.addresses, &to.addrcap, from.addresses, from.naddresses) &&
        to.local4.assign(from.local4) && to.local6.assign(from.local6) &&
        copy_array(&to.routes, &to.routecap, from.routes, from.nroutes) &&
        copy_array(&to.hops, &to.hopcap, from.hops, from.nhops) &&
        copy_array(&to.cells, &to.cellcap, from.cells, from.ncells) &&
        copy_array(&to.objects, &to.objcap, from.objects, from.nobjects) &&
        copy_array(&to.rules[v4].list, &to.rules[v4].cap, from.rules[v4].list, from.rules[v4].n) &&
        copy_array(&to.rules[v6].list, &to.rules[v6].cap, from.rules[v6].list, from.rules[v6].n) &&
        copy_tables(to, from);
    u32 buckets = to.nhopbuckets; // the hash must be as wide as the one it copies
    if (ok && buckets != from.nhopbuckets) {
        std::free(to.hopbuckets);
        to.hopbuckets = nullptr;
        to.nhopbuckets = buckets = 0;
    }
    if (!ok || !copy_array(&to.hopbuckets, &buckets, from.hopbuckets, from.nhopbuckets)) {
        clear_state(to);
        return false;
    }
    to.nhopbuckets = from.nhopbuckets;
    to.ndevices = from.ndevices;
    to.naddresses = from.naddresses;
    to.addrfreed = from.addrfreed;
    to.seq = from.seq;
    to.gen = from.gen;
    to.nroutes = from.nroutes;
    to.routefreed = from.routefreed;
    to.nhops = from.nhops;
    to.hopfreed = from.hopfreed;
    to.ncells = from.ncells;
    to.cellfreed = from.cellfreed;
    to.nobjects = from.nobjects;
    to.rules[v4].n = from.rules[v4].n;
    to.rules[v6].n = from.rules[v6].n;
    to.fresh_gen = from.fresh_gen;
    to.unfollowed_said = from.unfollowed_said;
    return true;
}

void drop_state(state &st)
{
    for (u32 i = 0; i < st.ntables; ++i) {
        std::free(st.tables[i]->from);
        st.tables[i]->~table();
        std::free(st.tables[i]);
    }
    std::free(st.tables);
    std::free(st.devices);
    std::free(st.addresses);
    std::free(st.routes);
    std::free(st.hops);
    std::free(st.hopbuckets);
    std::free(st.cells);
    std::free(st.objects);
    std::free(st.rules[v4].list);
    std::free(st.rules[v6].list);
    st.local4.release();
    st.local6.release();
    st.~state();
    new (&st) state{};
}

namespace {
// Each address on its device's list once, and in the local table; each
// list's last where its device says.
bool valid_addresses(const state &st)
{
    u32 listed = 0;
    for (u32 i = 0; i < st.ndevices; ++i)
        for (int s = v4; s <= v6; ++s) {
            u32 last = none;
            for (u32 a = st.devices[i].first[s]; a != none;
                 last = a, a = st.addresses[a].next, ++listed)
                if (a >= st.naddresses || listed > st.naddresses ||
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
        return x.hop < st.nhops && st.hops[x.hop].refs > 0 &&
               ((x.flags & route_object) != 0) == (st.hops[x.hop].object != 0);
    }
    u32 n = 0;
    for (u32 c = x.hop; c != none; c = st.cells[c].next, ++n, ++*refs)
        if (c >= st.ncells || n > st.ncells)
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
        if (r >= st.nroutes || n > st.nroutes || st.routes[r].type == RTN_UNSPEC ||
            !count_hops(st, st.routes[r], refs))
            return false;
    return true;
}

// A binding's members: its object's nexthop, or one for each member of
// its group; none for an object not followed. Counts them in *refs.
bool valid_binding(const state &st, const hop &b, u32 *refs)
{
    const u32 at = st.object_at(b.object);
    const object *o = at < st.nobjects && st.objects[at].id == b.object ? &st.objects[at] : nullptr;
    u32 n = 0;
    for (u32 c = b.members; c != none; c = st.cells[c].next, ++n, ++*refs)
        if (c >= st.ncells || n > st.ncells || st.cells[c].hop >= st.nhops ||
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
    for (u32 i = 0; i < st.ntables && ok; ++i) {
        const table &t = *st.tables[i];
        ok = t.v4.valid() && t.v6.valid();
        t.v4.each([&](u32 p) { ok = ok && valid_routes(st, t.v4.value(p), &refs); });
        t.v6.each([&](u32 p) { ok = ok && valid_routes(st, t.v6.value(p), &refs); });
        for (u32 k = 0; k < t.nfrom && ok; ++k)
            ok = t.from[k].r.next == none && valid_routes(st, t.from[k].r, &refs) &&
                 (k == 0 || t.from[k - 1].dstlen >= t.from[k].dstlen);
    }
    u32 held = 0;
    for (u32 h = 0; h < st.nhops && ok; ++h) {
        held += st.hops[h].refs;
        if (st.hops[h].refs > 0 && st.hops[h].object != 0)
            ok = valid_binding(st, st.hops[h], &refs);
    }
    return ok && held == refs;
}

// The nexthop objects by id, each once; a group's members listed.
bool valid_objects(const state &st)
{
    for (u32 i = 0; i < st.nobjects; ++i) {
        const object &o = st.objects[i];
        if ((i > 0 && st.objects[i - 1].id >= o.id) ||
            (o.kind != object_group && o.members != none))
            return false;
        u32 n = 0;
        for (u32 c = o.members; c != none; c = st.cells[c].next, ++n)
            if (c >= st.ncells || n > st.ncells)
                return false;
    }
    return true;
}

} // namespace

bool valid_state(const state &st)
{
    bool ok = st.local4.valid() && st.local6.valid() && valid_addresses(st) && valid_objects(st) &&
              valid_tables(st);
    for (u32 i = 1; i < st.ndevices && ok; ++i)
        ok = st.devices[i - 1].index < st.devices[i].index;
    for (int s = v4; s <= v6 && ok; ++s)
        for (u32 i = 1; i < st.rules[s].n && ok; ++i)
            ok = st.rules[s].list[i - 1].priority <= st.rules[s].list[i].priority;
    return ok;
}

} // namespace nearest_internal
