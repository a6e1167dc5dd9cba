// SPDX-License-Identifier: ISC
// The policy rules of each family, as the kernel's fib_rules.c keeps them:
// by priority, then in the order they came, no two alike. The decision
// matches them (nearest_decide.cpp).
#include "nearest_write.h"

#include "report.h"

#include <algorithm>
#include <cstring>

namespace nearest_internal {
namespace {

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

} // namespace

void policy_rules::add(const change &c)
{
    pool<rule> &list = st.rules[c.slot];
    if (std::any_of(list.begin(), list.end(), [&](const rule &r) { return same_rule(r, c.r); }))
        return; // the kernel keeps no two alike: met twice
    u32 at = list.n;
    while (at > 0 && list[at - 1].priority > c.r.priority)
        --at;
    rule *r = list.insert(at);
    if (r == nullptr) {
        if (!quiet)
            report(3, "nearest: out of memory; rule %u left out", c.r.priority);
        return;
    }
    *r = c.r;
}

void policy_rules::drop(const change &c)
{
    pool<rule> &list = st.rules[c.slot];
    for (u32 i = 0; i < list.n; ++i)
        if (same_rule(list[i], c.r)) {
            list.erase(i);
            return;
        }
}

} // namespace nearest_internal
