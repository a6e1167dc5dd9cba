// SPDX-License-Identifier: ISC
// Whether a policy rule selects the packet, as the kernel's fib_rule_match
// and each family's own match decide, and whether its suppressor turns
// down its table's answer (fib4_rule_suppress, fib6_rule_suppress). The
// rules' order and actions are the decision's (nearest_decide.cpp).
#ifndef LANPICK_NEAREST_RULE_MATCH_H
#define LANPICK_NEAREST_RULE_MATCH_H

#include "nearest_route_choice.h"

#include <cstring>

namespace nearest_internal {

class rule_match : public reading {
  public:
    using reading::reading;

    // Whether rule r selects the packet.
    [[nodiscard]] bool selects(const rule &r) const
    {
        if (r.plain)
            return !r.invert;
        const bool m = from_selected(r) && same_bits(r.dst, q.key, r.dstlen) &&
                       (r.tos == 0 || r.tos == q.tos) && ((r.mark ^ q.mark) & r.mask) == 0 &&
                       q.uid >= r.uidlo && q.uid <= r.uidhi &&
                       (r.ipproto == 0 || r.ipproto == q.ipproto) && in_range(r.sport, q.sport) &&
                       in_range(r.dport, q.dport) && !r.needs &&
                       (r.iif[0] == '\0' || same_device(r.iif, 1)) &&
                       (r.oif[0] == '\0' || same_device(r.oif, q.oif));
        return m != r.invert;
    }

    // Whether a rule's suppressor turns down the answer of its table.
    [[nodiscard]] bool suppressed(const rule &r, const result &x) const
    {
        if (x.len <= r.suppress_len)
            return true;
        if (r.suppress_group < 0 || x.hop == none)
            return false;
        const device *d = device_of(x.hop);
        return d != nullptr && d->group == static_cast<u32>(r.suppress_group);
    }

  private:
    // Whether a rule's device names the packet's: iif is always lo, oif
    // the query's, if any.
    [[nodiscard]] bool same_device(const char *name, int index) const
    {
        const device *d = st.find_device(index);
        return d != nullptr && std::strncmp(name, d->name, sizeof d->name) == 0;
    }

    // Whether a rule's ports (a range, then a mask of the first) hold port.
    static bool in_range(const u32 *range, u32 port)
    {
        if (range[2] != 0)
            return ((range[0] ^ port) & range[2]) == 0;
        return range[0] == 0 || range[1] == 0 || (port >= range[0] && port <= range[1]);
    }

    // Whether rule r's source prefix holds the packet's source. An IPv4
    // packet without one has 0.0.0.0; an IPv6 one meets no source prefix.
    [[nodiscard]] bool from_selected(const rule &r) const
    {
        static const u8 zero[16] = {};
        if (q.slot == v6 && r.srclen > 0 && !q.has_from)
            return false;
        return same_bits(r.src, q.has_from ? q.from : zero, r.srclen);
    }
};

} // namespace nearest_internal

#endif
