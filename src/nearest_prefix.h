// SPDX-License-Identifier: ISC
// The longest-prefix table of the nearest module: prefixes of one width (4
// bytes for IPv4, 16 for IPv6), each with a value, found exactly by key and
// length, or as the longest one that holds an address. One structure serves
// every routing table and the host's own addresses.
//
// A multibit trie: a root of 65,536 slots for the first 16 bits, then nodes
// of Stride bits a level (16 slots for four bits, 256 for eight: IPv4 routes
// take eight, so that a lookup to a route of 24 bits or less reads one node;
// IPv6 four, whose long sparse prefixes would leave wide nodes mostly
// empty). The root is mapped anonymous, so that a small table touches only
// the pages it writes. A prefix lives at the level where it ends, copied
// into each slot it covers there unless a longer prefix of that level holds
// the slot. A slot below which one prefix alone lies holds that prefix as a
// single, checked against the address, so that a sparse long prefix costs
// one slot rather than a chain of nodes. Each node and single keeps its
// cover: the longest prefix above it that holds all of it, the answer when
// nothing in it matches. A prefix is a single in one slot at most, so its
// own record keeps its cover as one. A lookup reads one slot a level and at
// the end one record, or a node's cover; many lookups can go in turns
// (begin(), step()), each a read a turn, so that their misses overlap.
//
// In three parts: the records, which hold each prefix's key and value and
// find it by name (nearest_records.h); the trie, here, which places them;
// and the check of both (nearest_prefix_check.h). The records and the nodes
// are in mappings of their own, grown with mremap, on huge pages where the
// kernel gives them; the rest grows with realloc. Memory that runs out is
// reported, never thrown.
#ifndef LANPICK_NEAREST_PREFIX_H
#define LANPICK_NEAREST_PREFIX_H

#include "nearest_records.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace nearest_internal {

template <typename Table> class prefix_check;

// A walk down a prefix_table, taken a read at a time (begin(), step()):
// what it reads next, a slot or a single's record, and where it is.
struct trie_walk {
    const u32 *at;
    u32 node;
    int depth;
    bool single;
};

template <std::size_t Bytes, typename Value = u32, int Stride = 4> class prefix_table {
    static_assert(Stride == 4 || Stride == 8, "a node spans half a byte or a byte");

  public:
    static constexpr int width = static_cast<int>(Bytes * 8);
    static constexpr int rootbits = 16;
    static constexpr u32 rootslots = 1U << rootbits;
    static constexpr int stride = Stride;
    static constexpr int fanout = 1 << Stride; // a node's slots
    static constexpr std::size_t levels = 1 + ((width - rootbits) / Stride); // the root's, then nodes'

    prefix_table() = default;
    prefix_table(const prefix_table &) = delete;
    prefix_table &operator=(const prefix_table &) = delete;
    prefix_table(prefix_table &&) = delete;
    prefix_table &operator=(prefix_table &&) = delete;
    ~prefix_table()
    {
        release();
    }

    // The prefix key/len, or none.
    [[nodiscard]] u32 find(const u8 *key, int len) const
    {
        return records.find(key, len);
    }

    // The prefix key/len, added with a vacant value when new; none when memory
    // ran out.
    u32 add(const u8 *key, int len)
    {
        u32 p = seek(key, len);
        if (p == maybe)
            p = find(key, len);
        if (p != none)
            return p;
        if (!room())
            return none;
        p = records.take(key, len);
        if (len == 0)
            spread(0, p);
        else
            insert_from(0, 0, p);
        return p;
    }

    // Takes prefix p out.
    void remove(u32 p)
    {
        const int len = records[p].len;
        if (len == 0)
            unspread(0, p, none);
        else
            withdraw(p);
        records.give(p);
    }

    // The longest prefix that holds address a, or none: a walk taken to its
    // end at once.
    [[nodiscard]] u32 match(const u8 *a) const
    {
        trie_walk w{};
        u32 p = none;
        for (bool going = begin(a, &w, &p); going;)
            going = step(a, &w, &p);
        return p;
    }

    // Begins a walk of address a to what match() finds, its answer to be
    // *out: reads its root slot at once (the root is read by every walk,
    // and stays in the cache), and asks for the next read ahead; false when
    // *out is the answer already.
    bool begin(const u8 *a, trie_walk *w, u32 *out) const
    {
        *out = none;
        if (nnodes == 0)
            return false;
        *w = trie_walk{&root[slot_at(a, 0)], 0, 0, false};
        return step(a, w, out);
    }

    // One read of a walk begun on address a: what the last turn asked for.
    // Asks for the next ahead; false once *out is the answer, whose record
    // is asked for ahead too, for the caller.
    bool step(const u8 *a, trie_walk *w, u32 *out) const
    {
        if (w->single) {
            const auto &x = records[*out];
            *out = same_bits(x.key, a, x.len) ? *out : x.cover;
        } else {
            const u32 s = *w->at;
            if ((s & 3) == node_tag) { // its cover too, the answer where its slot is empty
                w->node = s >> 2;
                w->at = &nodes[w->node].slot[slot_at(a, ++w->depth)];
                __builtin_prefetch(w->at);
                __builtin_prefetch(&covers[w->node]);
                return true;
            }
            if ((s & 3) == single_tag) {
                *out = s >> 2;
                w->single = true;
                __builtin_prefetch(records.where(*out));
                return true;
            }
            // A prefix of this level, or else the node's cover: chosen
            // without a branch, which would go either way at random.
            const u32 cover = covers[w->node];
            *out = s != 0 ? s >> 2 : cover;
        }
        if (*out != none)
            __builtin_prefetch(records.where(*out));
        return false;
    }

    // The longest prefix that holds address a and is shorter than len, or
    // none: where a longer match did not answer.
    [[nodiscard]] u32 shorter(const u8 *a, int len) const
    {
        for (int l = len - 1; l >= 0; --l) {
            const u32 p = find(a, l);
            if (p != none)
                return p;
        }
        return none;
    }

    // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.UndefReturn): p names a prefix held
    Value &value(u32 p)
    {
        return records[p].value;
    }
    [[nodiscard]] const Value &value(u32 p) const
    {
        return records[p].value;
    }
    [[nodiscard]] int prefix_len(u32 p) const
    {
        return records[p].len;
    }

    // Calls f(p) for each prefix p; f may not change the table.
    template <typename F> void each(F f) const
    {
        records.each(f);
    }

    // Empties the table, keeping its memory for the next fill.
    void clear()
    {
        if (root != nullptr) // zeros again, and no page held until written
            (void)madvise(root, rootslots * sizeof(u32), MADV_DONTNEED);
        nnodes = 0;
        nfreed = none;
        records.clear();
    }

    // Makes this table a copy of o, keeping what memory it has; false,
    // with the table emptied, when memory ran out.
    bool assign(const prefix_table &o)
    {
        clear();
        if (o.nnodes == 0)
            return true;
        if (!records.assign(o.records) || !grow_mapped(&nodes, &nodecap, o.nnodes) ||
            !grow(&covers, &ncap, o.nnodes) || !map_root()) {
            clear();
            return false;
        }
        std::memcpy(nodes, o.nodes, std::size_t{o.nnodes} * sizeof(node));
        std::memcpy(covers, o.covers, std::size_t{o.nnodes} * sizeof(u32));
        copy_root(o.root);
        nnodes = o.nnodes;
        nfreed = o.nfreed;
        return true;
    }

    // Gives the memory back; the table is empty and usable after.
    void release()
    {
        records.release();
        drop_mapped(&nodes, &nodecap);
        std::free(covers);
        if (root != nullptr)
            (void)munmap(root, rootslots * sizeof(u32));
        root = nullptr;
        covers = nullptr;
        ncap = 0;
        clear();
    }

    // Whether the trie and the hash agree with each other: every prefix
    // hashed where its key says and reachable where its length says, every
    // slot and cover the longest prefix that holds it (nearest_prefix_check.h).
    [[nodiscard]] bool valid() const
    {
        return prefix_check<prefix_table>(*this).valid();
    }

  private:
    static constexpr u32 node_tag = 1;
    static constexpr u32 prefix_tag = 2;
    static constexpr u32 single_tag = 3;

    friend class prefix_check<prefix_table>;
    struct node {
        u32 slot[static_cast<std::size_t>(fanout)];
    };

    prefix_records<Bytes, Value> records;
    u32 *root = nullptr;   // node 0's slots; its cover is covers[0]
    node *nodes = nullptr; // mapped, as the records are
    u32 *covers = nullptr; // a node's cover, beside it: read only at the end
    u32 ncap = 0, nodecap = 0, nnodes = 0, nfreed = none;

    // The slot of address a in a node at depth d: the first 16 bits at the
    // root, then Stride bits a level.
    static int slot_at(const u8 *a, int d)
    {
        if (d == 0)
            return (a[0] << 8) | a[1];
        const int at = start(d);
        return (a[at >> 3] >> (8 - Stride - (at & 7))) & (fanout - 1);
    }

    // The bits a node at depth d spans: from start(d) up to end(d).
    static int start(int d)
    {
        return d == 0 ? 0 : rootbits + (Stride * (d - 1));
    }
    static int end(int d)
    {
        return rootbits + (Stride * d);
    }

    // The slots of node n, and how many.
    u32 *slots(u32 n)
    {
        return n == 0 ? root : nodes[n].slot;
    }
    [[nodiscard]] const u32 *slots(u32 n) const
    {
        return n == 0 ? root : nodes[n].slot;
    }
    static int count(u32 n)
    {
        return n == 0 ? static_cast<int>(rootslots) : fanout;
    }

    static void masked(u8 *out, const u8 *in, int len)
    {
        mask_key(out, in, len, Bytes);
    }

    // The depth where a prefix of length len (at least 1) lives.
    static int depth_of(int len)
    {
        return len <= rootbits ? 0 : ((len - rootbits - 1) / Stride) + 1;
    }

    // A prefix's length, or -1 for none.
    [[nodiscard]] int length(u32 p) const
    {
        return p == none ? -1 : records[p].len;
    }

    static constexpr u32 maybe = none - 1;

    // What the trie alone shows of prefix key/len: the prefix, or none when
    // it cannot be there (its path ends short of it, or a slot of its span
    // is held by nothing as long), or maybe when every slot of its span is
    // held by something longer. A dump arrives in the trie's order, so this
    // walk finds its nodes in the cache, where the hash would miss twice.
    [[nodiscard]] u32 seek(const u8 *key, int len) const
    {
        if (nnodes == 0)
            return none;
        if (len == 0)
            return covers[0]; // only the prefix of length 0 covers the root
        u8 k[Bytes];
        masked(k, key, len);
        const int target = depth_of(len);
        u32 n = 0;
        int d = 0;
        for (; d < target; ++d) {
            const u32 s = slots(n)[slot_at(k, d)];
            if ((s & 3) == node_tag) {
                n = s >> 2;
                continue;
            }
            const u32 q = (s & 3) == single_tag ? s >> 2 : none;
            return q != none && records[q].len == len &&
                           std::memcmp(records[q].key, k, Bytes) == 0
                       ? q
                       : none;
        }
        const int span = end(d) - len; // at least 0: depth_of(len) is d
        // NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult)
        const int first = slot_at(k, d) & ~((1 << span) - 1);
        for (int i = first; i < first + (1 << span); ++i) {
            const u32 s = slots(n)[i];
            const u32 c = (s & 3) == prefix_tag ? s >> 2 : cover_of(n, s);
            if (length(c) == len) // as long and over this slot: the prefix itself
                return c;
            if (length(c) < len)
                return none;
        }
        return maybe;
    }

    // Room for one more prefix, with the nodes it may split; false when
    // memory ran out.
    bool room()
    {
        const u32 n = nnodes + static_cast<u32>(levels);
        if (!records.room() || !grow_mapped(&nodes, &nodecap, n) || !grow(&covers, &ncap, n) ||
            !map_root())
            return false;
        if (nnodes == 0) {
            covers[0] = none;
            nnodes = 1;
        }
        return true;
    }

    bool map_root()
    {
        if (root != nullptr)
            return true;
        const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
        // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes descriptor -1
        void *m = mmap(nullptr, rootslots * sizeof(u32), PROT_READ | PROT_WRITE, flags, -1, 0);
        if (m == MAP_FAILED)
            return false;
        root = static_cast<u32 *>(m);
        return true;
    }

    // The root of another table copied page by page, leaving out the pages
    // that hold only zeros, as a small table's root mostly does: they stay
    // unwritten, and cost no memory.
    void copy_root(const u32 *from)
    {
        constexpr std::size_t words = 1024; // 4 KiB
        for (std::size_t at = 0; at < rootslots; at += words) {
            const u32 *page = from + at;
            if (std::any_of(page, page + words, [](u32 w) { return w != 0; }))
                std::memcpy(root + at, page, words * sizeof(u32));
        }
    }

    u32 new_node(u32 cover)
    {
        u32 n = nfreed;
        if (n == none)
            n = nnodes++;
        else
            nfreed = nodes[n].slot[0];
        std::memset(&nodes[n], 0, sizeof nodes[n]);
        covers[n] = cover;
        return n;
    }

    void free_node(u32 n)
    {
        nodes[n].slot[0] = nfreed;
        nfreed = n;
    }

    // Prefix p as a single under cover: the slot that holds it.
    u32 single_slot(u32 p, u32 cover)
    {
        records[p].cover = cover;
        return (p << 2) | single_tag;
    }

    // What the slot at depth d falls back to when it holds cover: the
    // prefix itself when it is of this level, else nothing, which is the
    // node's cover.
    [[nodiscard]] u32 slot_for(u32 cover, int d) const
    {
        return cover != none && records[cover].len > start(d) ? (cover << 2) | prefix_tag : 0;
    }

    // The longest prefix that holds all of slot s of node n at depth d.
    [[nodiscard]] u32 cover_of(u32 n, u32 s) const
    {
        switch (s & 3) {
        case prefix_tag:
            return s >> 2;
        case node_tag:
            return covers[s >> 2];
        case single_tag:
            return records[s >> 2].cover;
        default:
            return covers[n];
        }
    }

    // Places prefix p, whose level is d or deeper, below node n at depth d.
    // room() made room for the node a split takes.
    // NOLINTNEXTLINE(misc-no-recursion): a split places one prefix one level down
    void insert_from(u32 n, int d, u32 p)
    {
        const u8 *key = records[p].key;
        const int target = depth_of(records[p].len);
        for (; d < target; ++d) {
            const u32 s = slots(n)[slot_at(key, d)];
            if ((s & 3) == node_tag) {
                n = s >> 2;
                continue;
            }
            if ((s & 3) != single_tag) { // one prefix alone below: a single
                slots(n)[slot_at(key, d)] = single_slot(p, cover_of(n, s));
                return;
            }
            // Two prefixes below: the single becomes a node holding both.
            const u32 q = s >> 2;
            const u32 c = new_node(records[q].cover);
            slots(n)[slot_at(key, d)] = (c << 2) | node_tag;
            insert_from(c, d + 1, q);
            n = c;
        }
        const int len = records[p].len;
        const int span = end(d) - len; // at least 0: depth_of(len) is d
        // NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult)
        const int first = slot_at(key, d) & ~((1 << span) - 1);
        for (int i = first; i < first + (1 << span); ++i) {
            u32 &s = slots(n)[i];
            switch (s & 3) {
            case node_tag:
                spread(s >> 2, p);
                break;
            case single_tag:
                if (length(records[s >> 2].cover) < len)
                    records[s >> 2].cover = p;
                break;
            default: // empty, or a shorter prefix of this level
                if (s == 0 || records[s >> 2].len < len)
                    s = (p << 2) | prefix_tag;
                break;
            }
        }
    }

    // Makes p, which holds all of node n, the cover of n and of what lies
    // below it, wherever their cover is shorter.
    // NOLINTNEXTLINE(misc-no-recursion): as deep as the trie, at most 32
    void spread(u32 n, u32 p)
    {
        if (length(covers[n]) >= records[p].len)
            return;
        covers[n] = p;
        for (int i = 0; i < count(n); ++i) {
            const u32 s = slots(n)[i];
            if ((s & 3) == node_tag)
                spread(s >> 2, p);
            else if ((s & 3) == single_tag && length(records[s >> 2].cover) < records[p].len)
                records[s >> 2].cover = p;
        }
    }

    // Replaces p by r as the cover of node n and below it.
    // NOLINTNEXTLINE(misc-no-recursion): as deep as the trie, at most 32
    void unspread(u32 n, u32 p, u32 r)
    {
        if (covers[n] != p)
            return;
        covers[n] = r;
        for (int i = 0; i < count(n); ++i) {
            const u32 s = slots(n)[i];
            if ((s & 3) == node_tag)
                unspread(s >> 2, p, r);
            else if ((s & 3) == single_tag && records[s >> 2].cover == p)
                records[s >> 2].cover = r;
        }
    }

    // Takes prefix p (of length at least 1) out of the trie, then folds the
    // nodes on its path that hold too little.
    void withdraw(u32 p)
    {
        const u8 *key = records[p].key;
        const int len = records[p].len;
        const int target = depth_of(len);
        u32 path[levels + 1];
        u32 n = 0;
        int d = 0;
        for (; d < target; ++d) {
            path[d] = n;
            u32 &s = slots(n)[slot_at(key, d)];
            if (s == ((p << 2) | single_tag)) {
                s = slot_for(records[p].cover, d);
                fold(path, d, key);
                return;
            }
            if ((s & 3) != node_tag)
                return; // not in the trie
            n = s >> 2;
        }
        path[d] = n;
        // What holds p's slots once p is gone: a shorter prefix of this
        // level, or the node's cover.
        u32 r = none;
        for (int l = len - 1; l > start(d) && r == none; --l)
            r = find(key, l);
        const u32 fallback = r != none ? r : covers[n];
        const int span = end(d) - len;
        const int first = slot_at(key, d) & ~((1 << span) - 1);
        for (int i = first; i < first + (1 << span); ++i) {
            u32 &s = slots(n)[i];
            if (s == ((p << 2) | prefix_tag))
                s = r != none ? (r << 2) | prefix_tag : 0;
            else if ((s & 3) == node_tag)
                unspread(s >> 2, p, fallback);
            else if ((s & 3) == single_tag && records[s >> 2].cover == p)
                records[s >> 2].cover = fallback;
        }
        fold(path, d, key);
    }

    // From depth d up the path of key, replaces a node that holds nothing,
    // or only one single, or only one prefix, by what its parent's slot can
    // hold.
    void fold(const u32 *path, int d, const u8 *key)
    {
        for (; d > 0; --d) {
            const u32 n = path[d];
            u32 only = 0;
            int kinds = 0;
            for (u32 s : nodes[n].slot)
                if (s != 0 && s != only) {
                    only = s;
                    ++kinds;
                }
            if (kinds > 1 || (only & 3) == node_tag)
                return;
            // A single whose cover is a prefix of this level keeps its node.
            if ((only & 3) == single_tag && records[only >> 2].cover != covers[n])
                return;
            u32 &up = slots(path[d - 1])[slot_at(key, d - 1)];
            if (only == 0)
                up = slot_for(covers[n], d - 1);
            else if ((only & 3) == single_tag)
                up = only;
            else // a prefix that filled the node would be of the level above
                up = single_slot(only >> 2, covers[n]);
            free_node(n);
        }
    }
};

} // namespace nearest_internal

#include "nearest_prefix_check.h"

#endif
