// SPDX-License-Identifier: ISC
// The nexthops that routes share, as the kernel shares a fib_info: a full
// table through one gateway keeps one, found in a hash by what it is, and
// held by reference. Also the cells, the lists that a multipath route's
// nexthops and a nexthop object's members are kept in. Changes these alone;
// a new one learns from the neighbours whether its gateway is shunned.
#include "nearest_write.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <numeric>

namespace nearest_internal {
namespace {

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

} // namespace

// A hash twice as wide as the hops, at least; kept as it was when memory ran out.
void shared_hops::rehash()
{
    u32 n = 64;
    while (n < st.hops.n * 2)
        n *= 2;
    if (n <= st.buckets.n || !st.buckets.resize(n))
        return;
    std::fill(st.buckets.begin(), st.buckets.end(), none);
    for (u32 h = 0; h < st.hops.n; ++h)
        if (st.hops[h].refs > 0)
            hash_in(h);
}

void shared_hops::hash_in(u32 x)
{
    u32 &b = st.buckets[hop_hash(st.hops[x]) & (st.buckets.n - 1)];
    st.hops[x].chain = b;
    b = x;
}

void shared_hops::unhash(u32 x)
{
    u32 *at = &st.buckets[hop_hash(st.hops[x]) & (st.buckets.n - 1)];
    while (*at != x)
        at = &st.hops[*at].chain;
    *at = st.hops[x].chain;
}

u32 shared_hops::take(const hop &h)
{
    if (st.buckets.n > 0)
        for (u32 x = st.buckets[hop_hash(h) & (st.buckets.n - 1)]; x != none; x = st.hops[x].chain)
            if (same_hop(st.hops[x], h)) {
                ++st.hops[x].refs;
                return x;
            }
    const u32 x = st.hops.take(&hop::chain);
    if (x == none)
        return none;
    st.hops[x].refs = 0; // not yet in the hash that rehash() makes
    rehash();
    if (st.buckets.n == 0) {
        st.hops.give(x, &hop::chain);
        return none;
    }
    st.hops[x] = h;
    st.hops[x].shunned = st.unusable_gateway(h);
    st.hops[x].refs = 1;
    st.hops[x].gen = st.gen - 1;
    st.fresh_gen = none; // its device and source are to be found
    hash_in(x);
    return x;
}

void shared_hops::put(u32 x)
{
    if (x == none || --st.hops[x].refs > 0)
        return;
    unhash(x);
    st.hops.give(x, &hop::chain);
}

void shared_hops::forget_prefsrc(u32 x)
{
    unhash(x);
    hop &h = st.hops[x];
    h.has_prefsrc = false;
    std::memset(h.prefsrc, 0, sizeof h.prefsrc);
    h.gen = st.gen - 1;
    st.fresh_gen = none;
    hash_in(x);
}

u32 shared_hops::take_cell(u32 value, u32 next)
{
    const u32 x = st.cells.take(&cell::next);
    if (x != none)
        st.cells[x] = cell{value, next};
    return x;
}

void shared_hops::put_cells(u32 c, bool hops)
{
    while (c != none) {
        const u32 next = st.cells[c].next;
        if (hops)
            put(st.cells[c].hop);
        st.cells.give(c, &cell::next);
        c = next;
    }
}

void shared_hops::unlist(u32 *first, u32 value)
{
    for (u32 *at = first; *at != none; at = &st.cells[*at].next)
        if (st.cells[*at].hop == value) {
            const u32 gone = *at;
            *at = st.cells[gone].next;
            st.cells.give(gone, &cell::next);
            return;
        }
}

} // namespace nearest_internal
