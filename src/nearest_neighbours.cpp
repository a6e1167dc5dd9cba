// SPDX-License-Identifier: ISC
// The neighbour entries (ARP, NDP) that a multipath choice reads, as the
// kernel's neighbour.c keeps them: only those in no valid state
// (incomplete, failed, none), since an entry that is valid and none at all
// count alike (fib_good_nh, ipv4_good_nh, ipv6_good_nh). Each such entry
// marks the nexthops through its gateway on its device; a new nexthop is
// marked as it is made (shared_hops::take). The decision reads only the
// mark (nearest_decide.cpp). Changes these and the marks alone.
#include "nearest_write.h"

#include "report.h"

#include <linux/neighbour.h>
#include <linux/rtnetlink.h>

#include <cstring>

namespace nearest_internal {
namespace {

bool same_gateway(const nexthop &nh, int index, int slot, const u8 *addr)
{
    return nh.oif == index && nh.gwslot == slot &&
           std::memcmp(nh.gateway, addr, slot == v4 ? 4 : 16) == 0;
}

} // namespace

// Marks, or clears, each nexthop through n's gateway on n's device.
void neighbours::mark(const neighbour &n, bool shunned)
{
    for (hop &h : st.hops)
        if (h.refs > 0 && same_gateway(h.nh, n.index, n.slot, n.addr))
            h.shunned = shunned;
}

void neighbours::set(const change &c)
{
    const u32 at = st.find_unusable(c.index, c.slot, c.local);
    const bool usable = c.type == RTM_DELNEIGH || (c.flags & nud_valid) != 0;
    if (usable && at != none) {
        const neighbour gone = st.unusable[at];
        st.unusable.erase(at);
        mark(gone, false);
    } else if (!usable && at != none) {
        st.unusable[at].nud = static_cast<std::uint16_t>(c.flags);
    } else if (!usable) {
        neighbour *n = st.unusable.insert(st.unusable.n);
        if (n == nullptr) {
            if (!quiet)
                report(3, "nearest: out of memory; a failed neighbour is taken as valid");
            return;
        }
        std::memcpy(n->addr, c.local, 16);
        n->index = c.index;
        n->slot = static_cast<u8>(c.slot);
        n->nud = static_cast<std::uint16_t>(c.flags);
        mark(*n, true);
    }
}

void neighbours::forget_device(int index)
{
    for (u32 i = st.unusable.n; i-- > 0;)
        if (st.unusable[i].index == index) {
            mark(st.unusable[i], false);
            st.unusable.erase(i);
        }
}

} // namespace nearest_internal
