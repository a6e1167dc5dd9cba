// SPDX-License-Identifier: ISC
// The memory the nearest module keeps, and how it grows: arrays grown with
// realloc by an eighth at a time (grow()), and the large ones a lookup reads
// at random in mappings of their own, on huge pages where the kernel gives
// them (grow_mapped()). Memory that runs out is reported by the caller,
// never thrown.
//
// A pool is the one kind of array the state keeps: elements by place, their
// count beside them, and, where elements come and go at random, a free list
// linked through one field of theirs. Every pool is emptied, copied and
// given back the same way, so that the state does each once for all of
// them (state::parts()). A pool holds plain data: it is copied with memcpy
// and never runs a constructor or destructor.
#ifndef LANPICK_NEAREST_POOL_H
#define LANPICK_NEAREST_POOL_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

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



template <typename T> struct pool {
    static_assert(std::is_trivially_copyable_v<T>, "a pool is copied with memcpy");

    T *data = nullptr;
    u32 n = 0;        // the elements in use, free ones among them
    u32 cap = 0;      // room for
    u32 freed = none; // the first free element, when they are linked

    T &operator[](u32 i)
    {
        return data[i];
    }
    const T &operator[](u32 i) const
    {
        return data[i];
    }
    [[nodiscard]] T *begin()
    {
        return data;
    }
    [[nodiscard]] T *end()
    {
        return data + n;
    }
    [[nodiscard]] const T *begin() const
    {
        return data;
    }
    [[nodiscard]] const T *end() const
    {
        return data + n;
    }

    // A free element, linked through link, or a new one; none without memory.
    template <typename E> u32 take(u32 E::*link)
    {
        const u32 x = freed;
        if (x != none) {
            freed = data[x].*link;
            return x;
        }
        return grow(&data, &cap, n + 1) ? n++ : none;
    }

    // Element x back on the free list that link threads.
    template <typename E> void give(u32 x, u32 E::*link)
    {
        data[x].*link = freed;
        freed = x;
    }

    // In an array sorted by field, the place of the first element whose
    // field is not below key: where key is, or would go.
    template <typename E, typename K> [[nodiscard]] u32 place(K key, K E::*field) const
    {
        u32 lo = 0;
        u32 hi = n;
        while (lo < hi) {
            const u32 mid = (lo + hi) / 2;
            if (data[mid].*field < key)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    }

    // Room for one more element of a sorted array, at place at, the rest
    // moved on; null without memory.
    T *insert(u32 at)
    {
        if (!grow(&data, &cap, n + 1))
            return nullptr;
        std::memmove(data + at + 1, data + at, (n - at) * sizeof(T));
        ++n;
        return data + at;
    }

    // Takes element at out of a sorted array, the rest moved back.
    void erase(u32 at)
    {
        std::memmove(data + at, data + at + 1, (n - at - 1) * sizeof(T));
        --n;
    }

    // Exactly n elements, each as it was or undefined; false without memory.
    bool resize(u32 count)
    {
        if (!grow(&data, &cap, count))
            return false;
        n = count;
        return true;
    }

    // Empties it, keeping its memory.
    void clear()
    {
        n = 0;
        freed = none;
    }

    // Makes it a copy of o, free list and all; false without memory.
    bool assign(const pool &o)
    {
        if (!grow(&data, &cap, o.n))
            return false;
        if (o.n > 0)
            std::memcpy(data, o.data, std::size_t{o.n} * sizeof(T));
        n = o.n;
        freed = o.freed;
        return true;
    }

    // Gives its memory back.
    void release()
    {
        std::free(data);
        *this = pool{};
    }

    // The bytes it holds.
    [[nodiscard]] std::size_t bytes() const
    {
        return std::size_t{cap} * sizeof(T);
    }
};

// Calls f(a, b) on each pair of parts of two tuples of references, in
// order, while f returns true; whether all did.
template <typename A, typename B, typename F, std::size_t... I>
bool each_pair(A &&a, B &&b, F f, std::index_sequence<I...> /*unused*/)
{
    return (f(std::get<I>(a), std::get<I>(b)) && ...);
}

} // namespace nearest_internal

#endif
