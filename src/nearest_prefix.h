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
// (begin(), step()), each a read a turn, so that their misses overlap. A
// hash on (length, key) finds a prefix by name. The records, which hold the
// values, and the nodes are in mappings of their own, grown with mremap, on
// huge pages where the kernel gives them; the rest grows with realloc.
// Memory that runs out is reported, never thrown.
#ifndef LANPICK_NEAREST_PREFIX_H
#define LANPICK_NEAREST_PREFIX_H

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace nearest_internal {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
constexpr u32 none = 0xffffffffU;

// The capacity an array of cap grows to, to hold at least n: by an eighth
// at a time, so that a large block grows in place (mremap), and a full
// table wastes little.
inline u32 grown(u32 cap, u32 n)
{
    u32 want = cap > 16 ? cap : 16;
    while (want < n)
        want += want / 8;
    return want;
}

// Grows a realloc'd array of T to hold at least n; false when memory ran out.
template <typename T> bool grow(T **array, u32 *cap, u32 n)
{
    if (n <= *cap)
        return true;
    const u32 want = grown(*cap, n);
    // NOLINTNEXTLINE(bugprone-sizeof-expression): T may be a pointer, kept by value
    void *p = std::realloc(*array, std::size_t{want} * sizeof(T));
    if (p == nullptr)
        return false;
    *array = static_cast<T *>(p);
    *cap = want;
    return true;
}

// The bytes of a mapping that holds cap elements of size bytes: whole
// pages, and whole huge pages once it holds one, so that the kernel maps it
// on a huge page's boundary, and a move by mremap keeps its huge pages
// whole: moved to another offset, they are split, and each lookup's read
// of a record or node then misses the TLB as well.
inline std::size_t mapped_bytes(u32 cap, std::size_t size)
{
    constexpr std::size_t huge = std::size_t{2} << 20;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t unit = std::size_t{cap} * size >= huge ? huge : page;
    return ((std::size_t{cap} * size) + unit - 1) & ~(unit - 1);
}

// As grow(), for an array kept in a mapping of its own: it starts on a page,
// so that an element whose size divides a cache line never straddles two.
template <typename T> bool grow_mapped(T **array, u32 *cap, u32 n)
{
    if (n <= *cap)
        return true;
    const u32 want = grown(*cap, n);
    const std::size_t bytes = mapped_bytes(want, sizeof(T));
    void *p = *array == nullptr
                  // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes descriptor -1
                  ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : mremap(*array, mapped_bytes(*cap, sizeof(T)), bytes, MREMAP_MAYMOVE);
    if (p == MAP_FAILED)
        return false;
    // Huge pages where the kernel has them for the asking: a lookup reads
    // the records at random, and a TLB miss at each read costs as much again.
    (void)madvise(p, bytes, MADV_HUGEPAGE);
    *array = static_cast<T *>(p);
    *cap = want;
    return true;
}

template <typename T> void drop_mapped(T **array, u32 *cap)
{
    if (*array != nullptr)
        (void)munmap(*array, mapped_bytes(*cap, sizeof(T)));
    *array = nullptr;
    *cap = 0;
}

// The bit at position i of a big-endian key.
inline int bit_at(const u8 *key, int i)
{
    return (key[i >> 3] >> (7 - (i & 7))) & 1;
}

// The number of leading bits a and b share, up to n.
inline int common_bits(const u8 *a, const u8 *b, int n)
{
    int i = 0;
    while (i < n && a[i >> 3] == b[i >> 3])
        i += 8;
    while (i < n && bit_at(a, i) == bit_at(b, i))
        ++i;
    return i < n ? i : n;
}

// Key in, masked to its first len bits, into out, of bytes bytes.
inline void mask_key(u8 *out, const u8 *in, int len, std::size_t bytes)
{
    std::memset(out, 0, bytes);
    std::memcpy(out, in, static_cast<std::size_t>(len / 8));
    if (len % 8 != 0)
        out[len / 8] = static_cast<u8>(in[len / 8] & (0xff00 >> (len % 8)));
}

// Whether the first len bits of a and b agree.
inline bool same_bits(const u8 *a, const u8 *b, int len)
{
    int i = 0; // a byte at a time: most are 4 or 0, too short for a call to memcmp
    for (; i < len / 8; ++i)
        if (a[i] != b[i])
            return false;
    return len % 8 == 0 || ((a[i] ^ b[i]) & (0xff00 >> (len % 8))) == 0;
}

// What a new prefix's value is: none for an index, a value's own empty
// state otherwise.
template <typename Value> Value vacant()
{
    return Value{};
}
template <> inline u32 vacant<u32>()
{
    return none;
}

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
        if (nbuckets == 0 || count_[len] == 0)
            return none;
        u8 k[Bytes];
        masked(k, key, len);
        for (u32 p = buckets[hash(k, len) & (nbuckets - 1)]; p != none; p = prefixes[p].chain)
            if (prefixes[p].len == len && std::memcmp(prefixes[p].key, k, Bytes) == 0)
                return p;
        return none;
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
        p = take_prefix();
        prefix &x = prefixes[p];
        masked(x.key, key, len);
        x.len = static_cast<u8>(len);
        x.value = vacant<Value>();
        u32 &b = buckets[hash(x.key, len) & (nbuckets - 1)];
        x.chain = b;
        b = p;
        ++count_[len];
        ++live;
        if (len == 0)
            spread(0, p);
        else
            insert_from(0, 0, p);
        return p;
    }

    // Takes prefix p out.
    void remove(u32 p)
    {
        const int len = prefixes[p].len;
        if (len == 0)
            unspread(0, p, none);
        else
            withdraw(p);
        u32 *at = &buckets[hash(prefixes[p].key, len) & (nbuckets - 1)];
        while (*at != p)
            at = &prefixes[*at].chain;
        *at = prefixes[p].chain;
        --count_[len];
        --live;
        prefixes[p].len = 0xff; // marks it free
        prefixes[p].chain = freed;
        freed = p;
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
            const prefix &x = prefixes[*out];
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
                __builtin_prefetch(&prefixes[*out]);
                return true;
            }
            // A prefix of this level, or else the node's cover: chosen
            // without a branch, which would go either way at random.
            const u32 cover = covers[w->node];
            *out = s != 0 ? s >> 2 : cover;
        }
        if (*out != none)
            __builtin_prefetch(&prefixes[*out]);
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
        return prefixes[p].value;
    }
    [[nodiscard]] const Value &value(u32 p) const
    {
        return prefixes[p].value;
    }
    [[nodiscard]] int prefix_len(u32 p) const
    {
        return prefixes[p].len;
    }

    // Calls f(p) for each prefix p; f may not change the table.
    template <typename F> void each(F f) const
    {
        for (u32 p = 0; p < used; ++p)
            if (prefixes[p].len != 0xff)
                f(p);
    }

    // Empties the table, keeping its memory for the next fill.
    void clear()
    {
        if (root != nullptr) // zeros again, and no page held until written
            (void)madvise(root, rootslots * sizeof(u32), MADV_DONTNEED);
        used = nnodes = live = 0;
        freed = nfreed = none;
        std::memset(count_, 0, sizeof count_);
        for (u32 i = 0; i < nbuckets; ++i)
            buckets[i] = none;
    }

    // Makes this table a copy of o, keeping what memory it has; false,
    // with the table emptied, when memory ran out.
    bool assign(const prefix_table &o)
    {
        clear();
        if (o.nnodes == 0)
            return true;
        if (!grow_mapped(&prefixes, &pcap, o.used) || !grow_mapped(&nodes, &nodecap, o.nnodes) ||
            !grow(&covers, &ncap, o.nnodes) || !same_buckets(o.nbuckets) || !map_root())
            return false;
        if (o.used > 0) // every prefix taken out leaves the nodes
            std::memcpy(prefixes, o.prefixes, std::size_t{o.used} * sizeof(prefix));
        std::memcpy(nodes, o.nodes, std::size_t{o.nnodes} * sizeof(node));
        std::memcpy(covers, o.covers, std::size_t{o.nnodes} * sizeof(u32));
        if (nbuckets > 0)
            std::memcpy(buckets, o.buckets, std::size_t{nbuckets} * sizeof(u32));
        copy_root(o.root);
        used = o.used;
        freed = o.freed;
        live = o.live;
        nnodes = o.nnodes;
        nfreed = o.nfreed;
        std::memcpy(count_, o.count_, sizeof count_);
        return true;
    }

    // Gives the memory back; the table is empty and usable after.
    void release()
    {
        drop_mapped(&prefixes, &pcap);
        drop_mapped(&nodes, &nodecap);
        std::free(covers);
        std::free(buckets);
        if (root != nullptr)
            (void)munmap(root, rootslots * sizeof(u32));
        root = nullptr;
        covers = nullptr;
        buckets = nullptr;
        ncap = nbuckets = 0;
        clear();
    }

    // Whether the trie and the hash agree with each other: every prefix
    // hashed where its key says and reachable where its length says, every
    // slot and cover the longest prefix that holds it.
    [[nodiscard]] bool valid() const
    {
        u32 hashed = 0;
        for (u32 b = 0; b < nbuckets; ++b)
            for (u32 p = buckets[b]; p != none && hashed <= live; p = prefixes[p].chain, ++hashed)
                if (p >= used || prefixes[p].len > width ||
                    (hash(prefixes[p].key, prefixes[p].len) & (nbuckets - 1)) != b)
                    return false;
        if (hashed != live)
            return false;
        if (nnodes == 0)
            return live == 0;
        if (!valid_root())
            return false;
        bool ok = true;
        each([&](u32 p) { ok = ok && placed(p); });
        return ok;
    }

  private:
    static constexpr u32 node_tag = 1;
    static constexpr u32 prefix_tag = 2;
    static constexpr u32 single_tag = 3;

    struct prefix {
        u8 key[Bytes];
        u8 len; // 0xff when free
        Value value;
        u32 chain; // the hash bucket's next, or the free list's
        u32 cover; // where it is a single: the longest prefix above that holds its slot
    };
    struct node {
        u32 slot[static_cast<std::size_t>(fanout)];
    };

    prefix *prefixes = nullptr;
    u32 *root = nullptr;   // node 0's slots; its cover is covers[0]
    node *nodes = nullptr; // mapped, as the records are
    u32 *covers = nullptr; // a node's cover, beside it: read only at the end
    u32 *buckets = nullptr;
    u32 pcap = 0, used = 0, freed = none, live = 0;
    u32 ncap = 0, nodecap = 0, nnodes = 0, nfreed = none;
    u32 nbuckets = 0;                 // a power of two, at least the prefixes
    u32 count_[(Bytes * 8) + 1] = {}; // prefixes of each length

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

    static u32 hash(const u8 *key, int len)
    {
        u32 h = 2166136261U ^ static_cast<u32>(len);
        for (std::size_t i = 0; i < Bytes; ++i)
            h = (h ^ key[i]) * 16777619U;
        return h ^ (h >> 15);
    }

    // The depth where a prefix of length len (at least 1) lives.
    static int depth_of(int len)
    {
        return len <= rootbits ? 0 : ((len - rootbits - 1) / Stride) + 1;
    }

    // A prefix's length, or -1 for none.
    [[nodiscard]] int length(u32 p) const
    {
        return p == none ? -1 : prefixes[p].len;
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
            return q != none && prefixes[q].len == len &&
                           std::memcmp(prefixes[q].key, k, Bytes) == 0
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
        if (!grow_mapped(&prefixes, &pcap, used + 1))
            return false;
        const u32 n = nnodes + static_cast<u32>(levels);
        if (!grow_mapped(&nodes, &nodecap, n) || !grow(&covers, &ncap, n))
            return false;
        if (live + 1 > nbuckets)
            rehash((live + 1) * 2);
        if (!map_root())
            return false;
        if (nnodes == 0) {
            covers[0] = none;
            nnodes = 1;
        }
        return nbuckets > 0;
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

    // A hash of exactly n buckets, as wide as the one it copies.
    bool same_buckets(u32 n)
    {
        if (n != nbuckets) {
            void *p = std::malloc(std::size_t{n} * sizeof(u32));
            if (p == nullptr)
                return false;
            std::free(buckets);
            buckets = static_cast<u32 *>(p);
            nbuckets = n;
            std::fill_n(buckets, n, none);
        }
        return true;
    }

    void rehash(u32 want)
    {
        u32 n = 64;
        while (n < want)
            n *= 2;
        void *p = std::malloc(n * sizeof(u32));
        if (p == nullptr)
            return; // the chains only grow longer
        std::free(buckets);
        buckets = static_cast<u32 *>(p);
        nbuckets = n;
        for (u32 i = 0; i < n; ++i)
            buckets[i] = none;
        each([&](u32 x) {
            u32 &b = buckets[hash(prefixes[x].key, prefixes[x].len) & (n - 1)];
            prefixes[x].chain = b;
            b = x;
        });
    }

    u32 take_prefix()
    {
        if (freed == none)
            return used++;
        const u32 p = freed;
        freed = prefixes[p].chain;
        return p;
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
        prefixes[p].cover = cover;
        return (p << 2) | single_tag;
    }

    // What the slot at depth d falls back to when it holds cover: the
    // prefix itself when it is of this level, else nothing, which is the
    // node's cover.
    [[nodiscard]] u32 slot_for(u32 cover, int d) const
    {
        return cover != none && prefixes[cover].len > start(d) ? (cover << 2) | prefix_tag : 0;
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
            return prefixes[s >> 2].cover;
        default:
            return covers[n];
        }
    }

    // Places prefix p, whose level is d or deeper, below node n at depth d.
    // room() made room for the node a split takes.
    // NOLINTNEXTLINE(misc-no-recursion): a split places one prefix one level down
    void insert_from(u32 n, int d, u32 p)
    {
        const u8 *key = prefixes[p].key;
        const int target = depth_of(prefixes[p].len);
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
            const u32 c = new_node(prefixes[q].cover);
            slots(n)[slot_at(key, d)] = (c << 2) | node_tag;
            insert_from(c, d + 1, q);
            n = c;
        }
        const int len = prefixes[p].len;
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
                if (length(prefixes[s >> 2].cover) < len)
                    prefixes[s >> 2].cover = p;
                break;
            default: // empty, or a shorter prefix of this level
                if (s == 0 || prefixes[s >> 2].len < len)
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
        if (length(covers[n]) >= prefixes[p].len)
            return;
        covers[n] = p;
        for (int i = 0; i < count(n); ++i) {
            const u32 s = slots(n)[i];
            if ((s & 3) == node_tag)
                spread(s >> 2, p);
            else if ((s & 3) == single_tag && length(prefixes[s >> 2].cover) < prefixes[p].len)
                prefixes[s >> 2].cover = p;
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
            else if ((s & 3) == single_tag && prefixes[s >> 2].cover == p)
                prefixes[s >> 2].cover = r;
        }
    }

    // Takes prefix p (of length at least 1) out of the trie, then folds the
    // nodes on its path that hold too little.
    void withdraw(u32 p)
    {
        const u8 *key = prefixes[p].key;
        const int len = prefixes[p].len;
        const int target = depth_of(len);
        u32 path[levels + 1];
        u32 n = 0;
        int d = 0;
        for (; d < target; ++d) {
            path[d] = n;
            u32 &s = slots(n)[slot_at(key, d)];
            if (s == ((p << 2) | single_tag)) {
                s = slot_for(prefixes[p].cover, d);
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
            else if ((s & 3) == single_tag && prefixes[s >> 2].cover == p)
                prefixes[s >> 2].cover = fallback;
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
            if ((only & 3) == single_tag && prefixes[only >> 2].cover != covers[n])
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

    // Sets the bits of key that a node at depth d spans to i.
    static void set_index(u8 *key, int d, int i)
    {
        if (d == 0) {
            key[0] = static_cast<u8>(i >> 8);
            key[1] = static_cast<u8>(i);
            return;
        }
        const int at = start(d);
        const int shift = 8 - Stride - (at & 7);
        u8 &b = key[at >> 3];
        b = static_cast<u8>((b & ~((fanout - 1) << shift)) | (i << shift));
    }

    // Checks slot s of a node at depth d, which key's bits up to end(d)
    // reach, and whose longest holding prefix is best.
    // NOLINTNEXTLINE(misc-no-recursion): as deep as the trie, at most 29
    bool valid_slot(u32 s, int d, const u8 *key, u32 best) const
    {
        switch (s & 3) {
        case node_tag:
            return end(d) < width && valid_node(s >> 2, d + 1, key, best);
        case single_tag: {
            const u32 p = s >> 2;
            return p < used && prefixes[p].cover == best && prefixes[p].len > end(d) &&
                   prefixes[p].len <= width && same_bits(prefixes[p].key, key, end(d));
        }
        default:
            return s == slot_for(best, d);
        }
    }

    // Checks node n at depth d (at least 1), reached by key's bits up to
    // start(d), whose cover its parent's slot says: a slot's longest holding
    // prefix is one of this level's Stride lengths, or else that cover.
    // NOLINTNEXTLINE(misc-no-recursion): as deep as the trie, at most 29
    bool valid_node(u32 n, int d, const u8 *above, u32 cover) const
    {
        u8 key[Bytes];
        std::memcpy(key, above, Bytes);
        if (n >= nnodes || covers[n] != cover)
            return false;
        for (int i = 0; i < fanout; ++i) {
            set_index(key, d, i);
            u32 best = none;
            for (int l = end(d); l > start(d) && best == none; --l)
                best = find(key, l);
            if (!valid_slot(nodes[n].slot[i], d, key, best != none ? best : cover))
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
        static u32 best[rootslots];
        static bool painted[rootslots / stretch];
        static const u32 zeros[stretch] = {};
        std::memset(painted, 0, sizeof painted);
        each([&](u32 p) {
            const int len = prefixes[p].len;
            if (len == 0 || len > rootbits)
                return;
            const auto first = static_cast<u32>(slot_at(prefixes[p].key, 0));
            for (u32 i = first; i < first + (1U << (rootbits - len)); ++i) {
                if (!painted[i / stretch]) {
                    std::fill_n(&best[i - (i % stretch)], stretch, covers[0]);
                    painted[i / stretch] = true;
                }
                if (length(best[i]) < len)
                    best[i] = p;
            }
        });
        u8 key[Bytes] = {};
        bool ok = covers[0] == find(key, 0);
        for (u32 r = 0; r < rootslots / stretch && ok; ++r) {
            if (!painted[r] &&
                std::memcmp(root + (std::size_t{r} * stretch), zeros, sizeof zeros) == 0)
                continue;
            for (u32 i = r * stretch; i < (r + 1) * stretch && ok; ++i) {
                set_index(key, 0, static_cast<int>(i));
                ok = valid_slot(root[i], 0, key, painted[r] ? best[i] : covers[0]);
            }
        }
        return ok;
    }

    // Whether prefix p is where a lookup finds it: its own addresses, where
    // no longer prefix holds them, answer p.
    [[nodiscard]] bool placed(u32 p) const
    {
        const int len = prefixes[p].len;
        u8 a[Bytes];
        std::memcpy(a, prefixes[p].key, Bytes);
        const u32 m = match(a);
        return m != none && prefixes[m].len >= len && same_bits(prefixes[m].key, a, len);
    }
};

} // namespace nearest_internal

#endif
