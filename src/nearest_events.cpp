// SPDX-License-Identifier: ISC
// What each change brings about, as the kernel's event handlers
// (fib_netdev_event, fib_inetaddr_event, nh_netdev_event) decide it: the
// object the change names is changed by its own part, and then whatever
// else the kernel changes because of it follows here, with a message of its
// own or, where said, silently. The silent ones are why the state cannot
// be a plain copy of the messages.
#include "nearest_write.h"

#include <linux/rtnetlink.h>

#include <cstring>

namespace nearest_internal {
namespace {

// Nexthop objects doomed: their routes go with them, silently for IPv4
// (IPv6 routes have a message of their own, which finds them gone), then
// the objects, and the groups that held them shrink.
void bury_objects(state &st, bool quiet)
{
    route_tables(st, quiet).flush_doomed();
    nexthop_objects(st, quiet).bury();
}

void link_changed(state &st, const change &c, bool quiet)
{
    const links::news n = links(st, quiet).set(c);
    if (!n.known)
        return;
    // Down, or without its carrier: its nexthop objects go, silently, and
    // take their routes with them.
    if (n.uncarried && nexthop_objects(st, quiet).doom_device(c.index))
        bury_objects(st, quiet);
    // Set down: its IPv4 routes go, silently, but for the host-scope ones:
    // its addresses stay local.
    if (n.set_down)
        route_tables(st, quiet).flush_device(c.index, v4, true);
}

// A device gone takes with it, silently, its addresses, its neighbour
// entries, its nexthop objects and every route through it.
void link_gone(state &st, const change &c, bool quiet)
{
    links devices(st, quiet);
    if (devices.find(c.index) == nullptr)
        return;
    devices.strip(c.index);
    neighbours(st, quiet).forget_device(c.index);
    if (nexthop_objects(st, quiet).doom_device(c.index))
        bury_objects(st, quiet);
    route_tables(st, quiet).flush_device(c.index, v4, false);
    route_tables(st, quiet).flush_device(c.index, v6, false);
    source_routes(st, quiet).flush_device(c.index);
    devices.remove(c.index);
}

// An IPv6 address gone: the routes that named it as their preferred
// source, in every table, forget it where the host no longer holds it,
// silently; but for those through nexthop objects, which keep it. (Before
// Linux 6.6 only the routes through its own device forgot it, held
// elsewhere or not.)
void source6_gone(state &st, const u8 *local, bool quiet)
{
    const links devices(st, quiet);
    shared_hops hops(st, quiet);
    for (u32 x = 0; x < st.hops.n; ++x) {
        const hop &h = st.hops[x];
        if (h.refs > 0 && h.slot == v6 && h.has_prefsrc && !h.bound && h.object == 0 &&
            std::memcmp(h.prefsrc, local, 16) == 0 && !devices.holds6(local, h.nh.oif))
            hops.forget_prefsrc(x);
    }
}

void address_gone(state &st, const change &c, bool quiet)
{
    if (!links(st, quiet).drop_address(c))
        return;
    // A device's last IPv4 address takes its IPv4 routes with it, silently.
    if (const device *d = st.find_device(c.index); c.slot == v4 && d != nullptr && d->count4 == 0)
        route_tables(st, quiet).flush_device(c.index, v4, false);
    if (c.slot == v6)
        source6_gone(st, c.local, quiet);
    else if (st.find_address(v4, c.local) == none) // an IPv4 address gone from the host
        route_tables(st, quiet).flush_source(c.local);
}

void route_change(state &st, const change &c, bool quiet)
{
    if (c.srclen > 0 && c.type == RTM_NEWROUTE)
        source_routes(st, quiet).add(c);
    else if (c.srclen > 0)
        source_routes(st, quiet).drop(c);
    else if (c.type == RTM_NEWROUTE)
        route_tables(st, quiet).add(c);
    else
        route_tables(st, quiet).drop(c);
}

} // namespace

void apply(state &st, const change &c, bool quiet)
{
    switch (c.type) {
    case RTM_NEWLINK:
        link_changed(st, c, quiet);
        break;
    case RTM_DELLINK:
        link_gone(st, c, quiet);
        break;
    case RTM_NEWADDR:
        links(st, quiet).add_address(c);
        break;
    case RTM_DELADDR:
        address_gone(st, c, quiet);
        break;
    case RTM_NEWROUTE:
    case RTM_DELROUTE:
        route_change(st, c, quiet);
        break;
    case RTM_NEWRULE:
        policy_rules(st, quiet).add(c);
        break;
    case RTM_DELRULE:
        policy_rules(st, quiet).drop(c);
        break;
    case RTM_NEWNEXTHOP:
        nexthop_objects(st, quiet).set(c);
        break;
    case RTM_NEWNEIGH:
    case RTM_DELNEIGH:
        neighbours(st, quiet).set(c);
        break;
    default: // RTM_DELNEXTHOP: its routes go with it
        if (nexthop_objects(st, quiet).doom(c.object))
            bury_objects(st, quiet);
        break;
    }
}

} // namespace nearest_internal
