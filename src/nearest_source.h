// SPDX-License-Identifier: ISC
// Source selection, in one place: the address the kernel gives a packet
// that names none. IPv4 takes a device's first primary address that reaches
// far enough (the kernel's inet_select_addr), found once for each shared
// nexthop and kept until an address or a link changes (refresh(), as the
// kernel keeps fib_info's nh_saddr); IPv6 ranks every candidate by the rules
// of RFC 6724 for each destination (ipv6_dev_get_saddr). The lookups read
// these inline: they are on the path of every answer without a preferred
// source. Reads the state only, but for refresh(), which the writer calls
// on the copy it has just changed, before readers see it.
#ifndef LANPICK_NEAREST_SOURCE_H
#define LANPICK_NEAREST_SOURCE_H

#include "nearest_state.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstring>

namespace nearest_internal {

inline constexpr u8 loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// An IPv6 address's scope as the kernel ranks it in source selection and
// orders a device's addresses by: 2 link (loopback too), 5 site, 14
// global, a multicast address's own.
inline int scope6(const u8 *a)
{
    if (a[0] == 0xff)
        return a[1] & 15;
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80)
        return 2;
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0xc0)
        return 5;
    return std::memcmp(a, loopback6, 16) == 0 ? 2 : 14;
}

// The kernel's IPv4 choice for a route of this scope through device index
// and gateway gw (null when on-link): the first primary address of the
// device that reaches far enough, one whose subnet holds the gateway first;
// failing those, the first of another device that is not link-scoped.
inline u32 choose4(const state &st, int index, const u8 *gw, int scope)
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
    for (const device &other : st.devices)
        for (u32 a = other.first[v4]; a != none; a = st.addresses[a].next) {
            const address &x = st.addresses[a];
            if (!secondary(x) && x.scope != RT_SCOPE_LINK && x.scope <= scope)
                return a;
        }
    return none;
}

// --- IPv6: RFC 6724 as Linux applies it

namespace rfc6724 {

// The kernel's default policy table of labels.
inline int label(const u8 *a)
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

inline bool orchid(const u8 *a)
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

constexpr int nmarks = 10;

// Address x's mark on each of the kernel's rules, in their order; the
// higher wins the first rule where two differ.
inline void marks(const address &x, const target &t, int *m)
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

// Keeps in best the better of best and address a: the higher mark on the
// first rule where they differ; the first of two that tie.
inline void better(const state &st, u32 a, const target &t, u32 *best, int *top)
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

} // namespace rfc6724

// The address the kernel chooses to reach IPv6 destination dst through
// device index: from that device alone for link-scoped and multicast
// destinations, else from every device, in the kernel's order.
inline u32 source6(const state &st, const u8 *dst, int index)
{
    using namespace rfc6724;
    const int s = scope6(dst);
    const target t{dst, s, label(dst), index};
    u32 best = none;
    int top[nmarks] = {};
    if (dst[0] == 0xff || s <= 2) {
        const device *d = st.find_device(index);
        for (u32 a = d != nullptr ? d->first[v6] : none; a != none; a = st.addresses[a].next)
            better(st, a, t, &best, top);
        return best;
    }
    for (const device &d : st.devices)
        for (u32 a = d.first[v6]; a != none; a = st.addresses[a].next)
            better(st, a, t, &best, top);
    return best;
}

} // namespace nearest_internal

#endif
