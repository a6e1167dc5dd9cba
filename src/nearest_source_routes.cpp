// SPDX-License-Identifier: ISC
// IPv6 routes that hold only packets from a source prefix (ip -6 route add
// D from S), in a short list of each table, longest destination first: few
// hosts have any. Their nexthops are made and given back as other routes'
// are (route_tables).
#include "nearest_write.h"

#include "report.h"

#include <linux/netlink.h>

#include <algorithm>
#include <cstring>

namespace nearest_internal {

// Whether source route e is of the prefixes change c names.
bool source_routes::of(const source_route &e, const change &c)
{
    u8 dst[16];
    u8 src[16];
    mask_key(dst, c.local, c.len, sizeof dst);
    mask_key(src, c.src, c.srclen, sizeof src);
    return e.dstlen == c.len && e.srclen == c.srclen && std::memcmp(e.dst, dst, 16) == 0 &&
           std::memcmp(e.src, src, 16) == 0;
}

// Where a new source route goes: longest destination first, then longest
// source, then after those of its prefixes whose metric is as low or lower.
u32 source_routes::place_of(const table &t, const change &c)
{
    u32 at = 0;
    while (at < t.from.n) {
        const source_route &e = t.from[at];
        if (e.dstlen < c.len || (e.dstlen == c.len && e.srclen < c.srclen) ||
            (of(e, c) && e.r.metric > c.metric))
            break;
        ++at;
    }
    return at;
}

void source_routes::add(const change &c)
{
    route_tables routes(st, quiet);
    table *t = st.tables.make(c.table);
    route x;
    if (t == nullptr || !grow(&t->from.data, &t->from.cap, t->from.n + 1) || !routes.make(c, &x)) {
        if (!quiet)
            report(3, "nearest: out of memory; a route from %d bits left out", c.srclen);
        return;
    }
    // Met twice, by an event and then by a dump, or replaced: in place.
    source_route *same = std::find_if(t->from.begin(), t->from.end(), [&](const source_route &e) {
        return of(e, c) && (routes.names(e.r, c) ||
                            ((c.nlflags & NLM_F_REPLACE) != 0 && e.r.metric == c.metric));
    });
    if (same != t->from.end()) {
        routes.release(same->r);
        same->r = x;
        return;
    }
    source_route &e = *t->from.insert(place_of(*t, c)); // room was made above
    mask_key(e.dst, c.local, c.len, sizeof e.dst);
    mask_key(e.src, c.src, c.srclen, sizeof e.src);
    e.dstlen = static_cast<u8>(c.len);
    e.srclen = static_cast<u8>(c.srclen);
    e.r = x;
}

void source_routes::drop(const change &c)
{
    table *t = st.tables.find(c.table);
    for (u32 i = 0; t != nullptr && i < t->from.n; ++i)
        if (of(t->from[i], c) && route_tables(st, quiet).names(t->from[i].r, c)) {
            remove(t, i);
            return;
        }
}

void source_routes::flush_device(int index)
{
    route_tables routes(st, quiet);
    for (table *t : st.tables.list)
        for (u32 k = t->from.n; k-- > 0;)
            if (routes.all_through(t->from[k].r, index))
                remove(t, k);
}

void source_routes::remove(table *t, u32 i)
{
    route_tables(st, quiet).release(t->from[i].r);
    t->from.erase(i);
}

} // namespace nearest_internal
