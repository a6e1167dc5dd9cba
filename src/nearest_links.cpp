// SPDX-License-Identifier: ISC
// Devices and their addresses, in the kernel's order: each device's list of
// each family, as devinet.c and addrconf.c keep it (the order that source
// selection reads), and the local table, which finds an address's entries
// by the address. Changes these alone, and moves st.gen whenever an IPv4
// source could change; what a device or an address takes with it when it
// goes is for the events to do.
#include "nearest_source.h"
#include "nearest_write.h"

#include "report.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>

namespace nearest_internal {
namespace {

constexpr unsigned iff_lower_up = 1U << 16; // IFF_LOWER_UP, which net/if.h leaves out

} // namespace

device *links::find(int index)
{
    const u32 at = st.device_at(index);
    return at < st.devices.n && st.devices[at].index == index ? &st.devices[at] : nullptr;
}

links::news links::set(const change &c)
{
    device *d = find(c.index);
    if (d == nullptr) {
        d = st.devices.insert(st.device_at(c.index));
        if (d == nullptr) {
            if (!quiet)
                report(3, "nearest: out of memory; device %d left out", c.index);
            return {false, false, false};
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
    return {true, down, (c.flags & IFF_UP) == 0 || lost};
}

void links::strip(int index)
{
    const device *d = find(index);
    for (int s = v4; d != nullptr && s <= v6; ++s)
        while (d->first[s] != none)
            unlink_address(d->first[s]);
}

void links::remove(int index)
{
    if (find(index) != nullptr)
        st.devices.erase(st.device_at(index));
    ++st.gen;
}

u32 *links::locals_of(int s, const u8 *local, bool make)
{
    const u32 p = s == v4 ? (make ? st.local4.add(local, 32) : st.local4.find(local, 32))
                          : (make ? st.local6.add(local, 128) : st.local6.find(local, 128));
    if (p == none)
        return nullptr;
    return s == v4 ? &st.local4.value(p) : &st.local6.value(p);
}

// The address the change names, found among those with its local address.
u32 links::find_on_device(const change &c, const u8 *net)
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
u32 *links::place_for(device *d, const address &x, bool dumped) const
{
    if (dumped || (x.slot == v4 && (x.flags & IFA_F_SECONDARY) != 0))
        return d->last[x.slot] != none ? &st.addresses[d->last[x.slot]].next : &d->first[x.slot];
    u32 *at = &d->first[x.slot];
    if (x.slot == v6) {
        const int mine = scope6(x.local);
        while (*at != none && scope6(st.addresses[*at].local) > mine)
            at = &st.addresses[*at].next;
        return at;
    }
    u32 *after = &d->first[v4];
    for (; *at != none; at = &st.addresses[*at].next)
        if ((st.addresses[*at].flags & IFA_F_SECONDARY) == 0 && x.scope <= st.addresses[*at].scope)
            after = &st.addresses[*at].next;
    return after;
}

void links::add_address(const change &c)
{
    device *d = find(c.index);
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
    const u32 a = st.addresses.take(&address::next);
    u32 *locals = a != none ? locals_of(c.slot, c.local, true) : nullptr;
    if (locals == nullptr) {
        if (a != none)
            st.addresses.give(a, &address::next);
        char text[INET6_ADDRSTRLEN];
        inet_ntop(c.slot == v4 ? AF_INET : AF_INET6, c.local, text, sizeof text);
        if (!quiet)
            report(3, "nearest: out of memory; %s/%d on device %d left out", text, c.len, c.index);
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
void links::unlink_address(u32 a)
{
    address &x = st.addresses[a];
    device *d = find(x.index);
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
    st.addresses.give(a, &address::next);
    ++st.gen;
}

bool links::drop_address(const change &c)
{
    u8 net[16];
    mask_key(net, c.peer, c.len, sizeof net);
    const u32 a = find_on_device(c, net);
    if (a != none)
        unlink_address(a);
    return a != none;
}

bool links::holds6(const u8 *local, int index) const
{
    for (u32 a = st.find_address(v6, local); a != none; a = st.addresses[a].same) {
        const address &x = st.addresses[a];
        if ((x.flags & IFA_F_TENTATIVE) == 0 &&
            (x.index == index || (x.scope != RT_SCOPE_LINK && x.scope != RT_SCOPE_HOST)))
            return true;
    }
    return false;
}

} // namespace nearest_internal
