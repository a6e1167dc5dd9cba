// SPDX-License-Identifier: ISC
// The records of a prefix table: each prefix's key, length and value, in a
// mapping of their own (a lookup reads one at its end, at random), found by
// name through a hash on (length, key), and a count of the prefixes of each
// length, so that a length no prefix has costs no probe. Also the keys'
// bit arithmetic that the trie and the decision share. The trie
// (nearest_prefix.h) places the records; the records know nothing of it
// but the cover it keeps in each.
#ifndef LANPICK_NEAREST_RECORDS_H
#define LANPICK_NEAREST_RECORDS_H

#include "nearest_pool.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace nearest_internal {

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


template <std::size_t Bytes, typename Value> class prefix_records {
  public:
    struct prefix {
        u8 key[Bytes];
        u8 len; // 0xff when free
        Value value;
        u32 chain; // the hash bucket's next, or the free list's
        u32 cover; // where it is a single: the longest prefix above that holds its slot
    };

    prefix_records() = default;
    prefix_records(const prefix_records &) = delete;
    prefix_records &operator=(const prefix_records &) = delete;
    prefix_records(prefix_records &&) = delete;
    prefix_records &operator=(prefix_records &&) = delete;
    ~prefix_records()
    {
        release();
    }

    // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.UndefReturn): p names a prefix held
    prefix &operator[](u32 p)
    {
        return prefixes[p];
    }
    const prefix &operator[](u32 p) const
    {
        return prefixes[p];
    }
    // Where record p is, for a read asked for ahead.
    [[nodiscard]] const prefix *where(u32 p) const
    {
        return &prefixes[p];
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

    // Room for one more record; false when memory ran out.
    bool room()
    {
        if (!grow_mapped(&prefixes, &pcap, used + 1))
            return false;
        if (live + 1 > nbuckets)
            rehash((live + 1) * 2);
        return nbuckets > 0;
    }

    // A new record of prefix key/len, with a vacant value, where room() made
    // room for it.
    u32 take(const u8 *key, int len)
    {
        u32 p = freed;
        if (p == none)
            p = used++;
        else
            freed = prefixes[p].chain;
        prefix &x = prefixes[p];
        masked(x.key, key, len);
        x.len = static_cast<u8>(len);
        x.value = vacant<Value>();
        u32 &b = buckets[hash(x.key, len) & (nbuckets - 1)];
        x.chain = b;
        b = p;
        ++count_[len];
        ++live;
        return p;
    }

    // Gives record p back.
    void give(u32 p)
    {
        const int len = prefixes[p].len;
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

    // Calls f(p) for each prefix p; f may not change the records.
    template <typename F> void each(F f) const
    {
        for (u32 p = 0; p < used; ++p)
            if (prefixes[p].len != 0xff)
                f(p);
    }

    [[nodiscard]] u32 size() const
    {
        return live;
    }

    void clear()
    {
        used = live = 0;
        freed = none;
        std::memset(count_, 0, sizeof count_);
        std::fill_n(buckets, nbuckets, none);
    }

    // A copy of o, keeping what memory these have; false without memory.
    bool assign(const prefix_records &o)
    {
        clear();
        if (!grow_mapped(&prefixes, &pcap, o.used) || !same_buckets(o.nbuckets))
            return false;
        if (o.used > 0)
            std::memcpy(prefixes, o.prefixes, std::size_t{o.used} * sizeof(prefix));
        if (nbuckets > 0)
            std::memcpy(buckets, o.buckets, std::size_t{nbuckets} * sizeof(u32));
        used = o.used;
        freed = o.freed;
        live = o.live;
        std::memcpy(count_, o.count_, sizeof count_);
        return true;
    }

    void release()
    {
        drop_mapped(&prefixes, &pcap);
        std::free(buckets);
        buckets = nullptr;
        nbuckets = 0;
        clear();
    }

    // Whether every record is hashed where its key says, once.
    [[nodiscard]] bool valid() const
    {
        u32 hashed = 0;
        for (u32 b = 0; b < nbuckets; ++b)
            for (u32 p = buckets[b]; p != none && hashed <= live; p = prefixes[p].chain, ++hashed)
                if (p >= used || prefixes[p].len > static_cast<int>(Bytes * 8) ||
                    (hash(prefixes[p].key, prefixes[p].len) & (nbuckets - 1)) != b)
                    return false;
        return hashed == live;
    }

    // Whether p names a record in use.
    [[nodiscard]] bool holds(u32 p) const
    {
        return p < used;
    }

    static void masked(u8 *out, const u8 *in, int len)
    {
        mask_key(out, in, len, Bytes);
    }

  private:
    prefix *prefixes = nullptr;
    u32 *buckets = nullptr;
    u32 pcap = 0, used = 0, freed = none, live = 0;
    u32 nbuckets = 0;                 // a power of two, at least the prefixes
    u32 count_[(Bytes * 8) + 1] = {}; // prefixes of each length

    static u32 hash(const u8 *key, int len)
    {
        u32 h = 2166136261U ^ static_cast<u32>(len);
        for (std::size_t i = 0; i < Bytes; ++i)
            h = (h ^ key[i]) * 16777619U;
        return h ^ (h >> 15);
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
        std::fill_n(buckets, n, none);
        each([&](u32 x) {
            u32 &b = buckets[hash(prefixes[x].key, prefixes[x].len) & (n - 1)];
            prefixes[x].chain = b;
            b = x;
        });
    }
};

} // namespace nearest_internal

#endif
