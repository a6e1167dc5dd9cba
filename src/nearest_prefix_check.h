// SPDX-License-Identifier: ISC
// The prefix table's check of itself, for the tests and the fuzzer: every
// record hashed where its key says, every slot and cover of the trie the
// longest prefix that holds it, every prefix where a lookup finds it. It
// writes nothing of the table's, and keeps its own scratch memory, so that
// any number of tables can be checked at once, on any threads; without
// memory for it, a check fails.
#ifndef LANPICK_NEAREST_PREFIX_CHECK_H
#define LANPICK_NEAREST_PREFIX_CHECK_H

#include "nearest_prefix.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace nearest_internal {

template <typename Table> class prefix_check {
  public:
    explicit prefix_check(const Table &table) : t(table)
    {
    }

    [[nodiscard]] bool valid() const
    {
        if (!t.records.valid())
            return false;
        if (t.nnodes == 0)
            return t.records.size() == 0;
        if (!valid_root())
            return false;
        bool ok = true;
        t.each([&](u32 p) { ok = ok && placed(p); });
        return ok;
    }

  private:
    static constexpr std::size_t bytes = Table::width / 8;
    static constexpr u32 rootslots = Table::rootslots;
    static constexpr int fanout = Table::fanout;
    const Table &t;

    // Sets the bits of key that a node at depth d spans to i.
    static void set_index(u8 *key, int d, int i)
    {
        if (d == 0) {
            key[0] = static_cast<u8>(i >> 8);
            key[1] = static_cast<u8>(i);
            return;
        }
        const int at = Table::start(d);
        const int shift = 8 - Table::stride - (at & 7);
        u8 &b = key[at >> 3];
        b = static_cast<u8>((b & ~((fanout - 1) << shift)) | (i << shift));
    }

    // Checks slot s of a node at depth d, which key's bits up to end(d)
    // reach, and whose longest holding prefix is best.
    // NOLINTNEXTLINE(misc-no-recursion): as deep as the trie, at most 29
    bool valid_slot(u32 s, int d, const u8 *key, u32 best) const
    {
        switch (s & 3) {
        case Table::node_tag:
            return Table::end(d) < Table::width && valid_node(s >> 2, d + 1, key, best);
        case Table::single_tag: {
            const u32 p = s >> 2;
            return t.records.holds(p) && t.records[p].cover == best &&
                   t.records[p].len > Table::end(d) && t.records[p].len <= Table::width &&
                   same_bits(t.records[p].key, key, Table::end(d));
        }
        default:
            return s == t.slot_for(best, d);
        }
    }

    // Checks node n at depth d (at least 1), reached by key's bits up to
    // start(d), whose cover its parent's slot says: a slot's longest holding
    // prefix is one of this level's lengths, or else that cover.
    // NOLINTNEXTLINE(misc-no-recursion): as deep as the trie, at most 29
    bool valid_node(u32 n, int d, const u8 *above, u32 cover) const
    {
        u8 key[bytes];
        std::memcpy(key, above, bytes);
        if (n >= t.nnodes || t.covers[n] != cover)
            return false;
        for (int i = 0; i < fanout; ++i) {
            set_index(key, d, i);
            u32 best = none;
            for (int l = Table::end(d); l > Table::start(d) && best == none; --l)
                best = t.find(key, l);
            if (!valid_slot(t.nodes[n].slot[i], d, key, best != none ? best : cover))
                return false;
        }
        return true;
    }

    // Checks the root: each slot's longest holding prefix is painted from
    // the prefixes of 16 bits or fewer, rather than looked up 65,536 times;
    // a stretch of 256 slots that is all zeros and unpainted is right as it is,
    // and is passed over by one comparison.
    [[nodiscard]] bool valid_root() const
    {
        constexpr u32 stretch = 256;
        struct scratch {
            u32 best[rootslots];
            bool painted[rootslots / stretch];
        };
        auto *m = static_cast<scratch *>(std::calloc(1, sizeof(scratch)));
        if (m == nullptr)
            return false;
        const bool ok = valid_root(m->best, m->painted);
        std::free(m);
        return ok;
    }

    bool valid_root(u32 *best, bool *painted) const
    {
        constexpr u32 stretch = 256;
        static const u32 zeros[stretch] = {};
        t.each([&](u32 p) {
            const int len = t.records[p].len;
            if (len == 0 || len > Table::rootbits)
                return;
            const auto first = static_cast<u32>(Table::slot_at(t.records[p].key, 0));
            for (u32 i = first; i < first + (1U << (Table::rootbits - len)); ++i) {
                if (!painted[i / stretch]) {
                    std::fill_n(&best[i - (i % stretch)], stretch, t.covers[0]);
                    painted[i / stretch] = true;
                }
                if (t.length(best[i]) < len)
                    best[i] = p;
            }
        });
        u8 key[bytes] = {};
        bool ok = t.covers[0] == t.find(key, 0);
        for (u32 r = 0; r < rootslots / stretch && ok; ++r) {
            if (!painted[r] &&
                std::memcmp(t.root + (std::size_t{r} * stretch), zeros, sizeof zeros) == 0)
                continue;
            for (u32 i = r * stretch; i < (r + 1) * stretch && ok; ++i) {
                set_index(key, 0, static_cast<int>(i));
                ok = valid_slot(t.root[i], 0, key, painted[r] ? best[i] : t.covers[0]);
            }
        }
        return ok;
    }

    // Whether prefix p is where a lookup finds it: its own addresses, where
    // no longer prefix holds them, answer p.
    [[nodiscard]] bool placed(u32 p) const
    {
        const int len = t.records[p].len;
        u8 a[bytes];
        std::memcpy(a, t.records[p].key, bytes);
        const u32 m = t.match(a);
        return m != none && t.records[m].len >= len && same_bits(t.records[m].key, a, len);
    }
};

} // namespace nearest_internal

#endif
