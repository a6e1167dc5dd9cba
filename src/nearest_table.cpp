// SPDX-License-Identifier: ISC
// The table handle of the nearest module: one network namespace's state,
// its rtnetlink socket, and how lookups from any number of threads stay
// safe beside the one thread that applies the namespace's events.
//
// A table keeps two copies of the state, as the left-right scheme does.
// Lookups read the front copy; the updater changes only the back one, which
// no lookup reads. For each datagram of events it changes the back copy,
// makes it the front, waits until no lookup still reads the old front, and
// then applies the same datagram to that one, which is now the back. So a
// lookup reads a copy that nothing changes while it reads, sees each event
// whole or not at all, and never waits: a lookup that began on a copy just
// as it went to the back is retried on the front at once. The waiting is
// all the updater's, for lookups already under way (a lookup takes well
// under a microsecond). Memory that a lookup might still read is given back
// or moved (realloc, mremap) only in the back copy, so only after the wait.
//
// A lookup says which copy it reads by a count in one of 64 places, each on
// its own cache line, chosen by the thread's number: threads seldom share
// one, so lookups from two cores do not contend for a line. Readers need
// not register; the updater sums the counts of the old front's places.
//
// The cost: twice the memory, and each event applied twice. The copies are
// alike after each datagram; a first fill, or a reload after lost events,
// fills the back copy from the kernel and then copies it whole.
#include "nearest.h"
#include "nearest_state.h"

#include "report.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <numeric>

using namespace nearest_internal;

namespace {

constexpr unsigned places = 64;

// Where the lookups of some threads count themselves in, by copy.
struct alignas(64) readers {
    std::atomic<unsigned long> in[2];
};

// The place of the calling thread.
unsigned my_place()
{
    static std::atomic<unsigned> threads;
    thread_local unsigned mine; // 0 until the thread's first lookup
    if (mine == 0)
        mine = (threads.fetch_add(1, std::memory_order_relaxed) % places) + 1;
    return mine - 1;
}

} // namespace

struct nearest_table {
    readers counts[places]{};
    rtnl nl;
    state copies[2]{};              // zeros but where state says otherwise
    std::atomic<unsigned> front{0}; // the copy lookups read
    unsigned uid = 0;               // the uid of a query without one
    bool diverged = false;          // the back copy could not be made like the front
};

namespace {

// A lookup's hold on the front copy, from its start to its end.
class reading {
  public:
    explicit reading(nearest_table *t) : place(t->counts[my_place()])
    {
        for (;;) {
            copy = t->front.load(std::memory_order_seq_cst);
            place.in[copy].fetch_add(1, std::memory_order_seq_cst);
            if (t->front.load(std::memory_order_seq_cst) == copy)
                break;
            // The copy went to the back meanwhile: the updater may be
            // changing it, and need not have seen this count.
            place.in[copy].fetch_sub(1, std::memory_order_release);
        }
        st = &t->copies[copy];
    }
    ~reading()
    {
        place.in[copy].fetch_sub(1, std::memory_order_release);
    }
    reading(const reading &) = delete;
    reading &operator=(const reading &) = delete;
    reading(reading &&) = delete;
    reading &operator=(reading &&) = delete;

    [[nodiscard]] const state &copy_read() const
    {
        return *st;
    }

  private:
    readers &place;
    unsigned copy = 0;
    const state *st = nullptr;
};

state &back(nearest_table *t)
{
    return t->copies[1 - t->front.load(std::memory_order_relaxed)];
}

// Makes the back copy the front, and returns the old front once no lookup
// reads it: the new back.
state &swap(nearest_table *t)
{
    const unsigned old = t->front.load(std::memory_order_relaxed);
    refresh(t->copies[1 - old]);
    t->front.store(1 - old, std::memory_order_seq_cst);
    for (unsigned spins = 0;; ++spins) {
        const unsigned long n =
            std::accumulate(std::begin(t->counts), std::end(t->counts), 0UL,
                            [old](unsigned long sum, const readers &r) {
                                return sum + r.in[old].load(std::memory_order_acquire);
                            });
        if (n == 0)
            break;
        if (spins >= 64)
            sched_yield(); // a lookup's thread is not running
    }
    return t->copies[old];
}

// Applies one datagram to both copies in turn.
int apply_datagram(nearest_table *t, const void *datagram, std::size_t len)
{
    const int seen = feed(back(t), datagram, len, false);
    (void)feed(swap(t), datagram, len, true);
    return seen;
}

// Follows net.ipv4.fib_multipath_use_neigh, which changes without a
// message: read at each update, set in both copies in turn when it moved.
void follow_sysctl(nearest_table *t)
{
    const bool now = use_neigh(t->nl);
    if (back(t).use_neigh == now)
        return;
    back(t).use_neigh = now;
    swap(t).use_neigh = now;
}

// Makes the back copy like the front; false, after a report, when memory
// ran out: the table is then read anew at the next update.
bool align(nearest_table *t)
{
    t->diverged = !copy_state(back(t), t->copies[t->front.load(std::memory_order_relaxed)]);
    if (t->diverged)
        report(3, "nearest: out of memory; the table's second copy is left empty");
    return !t->diverged;
}

// Reads the table anew into the back copy, makes it the front, and copies
// it to the other.
bool reload(nearest_table *t)
{
    if (!load(t->nl, back(t))) {
        (void)align(t);
        return false;
    }
    (void)swap(t);
    return align(t);
}

nearest_table *make_table()
{
    void *room = std::aligned_alloc(alignof(nearest_table), sizeof(nearest_table));
    if (room == nullptr) {
        errno = ENOMEM;
        report(3, "nearest: %s", get_errmsg());
        return nullptr;
    }
    auto *t = new (room) nearest_table;
    t->uid = getuid();
    return t;
}

// Whether a record's size is one this library can fill or read.
bool fits(unsigned size, std::size_t first)
{
    return size == 0 || size >= first;
}

std::size_t stride(unsigned size, std::size_t first)
{
    return size == 0 ? first : size;
}

} // namespace

nearest_table *nearest_table_open(int netns)
{
    nearest_table *t = make_table();
    if (t == nullptr)
        return nullptr;
    if (!link_open(t->nl, netns) || !reload(t)) {
        nearest_table_close(t);
        return nullptr;
    }
    return t;
}

int nearest_table_fd(const nearest_table *t)
{
    return t->nl.fd;
}

int nearest_table_update(nearest_table *t)
{
    if (t == nullptr || t->nl.fd < 0) {
        errno = EBADF;
        report(3, "netlink: %s", get_errmsg());
        return -1;
    }
    if (t->diverged)
        return reload(t) ? 1 : -1;
    follow_sysctl(t);
    for (;;) {
        long n = 0;
        switch (receive(t->nl, &n)) {
        case got::some:
            (void)apply_datagram(t, t->nl.buffer, static_cast<std::size_t>(n));
            break;
        case got::nothing:
            return 0;
        case got::lost:
            return reload(t) ? 1 : -1;
        case got::failed:
            report(3, "netlink: %s", get_errmsg());
            return -1;
        }
    }
}

void nearest_table_close(nearest_table *t)
{
    if (t == nullptr)
        return;
    if (t->nl.fd >= 0)
        close(t->nl.fd);
    if (t->nl.use_neigh >= 0)
        close(t->nl.use_neigh);
    drop_state(t->copies[0]);
    drop_state(t->copies[1]);
    t->~nearest_table();
    std::free(t);
}

unsigned int nearest_table_index(nearest_table *t, const char *name)
{
    const reading r(t);
    const device *d = r.copy_read().find_device(name);
    return d != nullptr ? static_cast<unsigned>(d->index) : 0;
}

const char *nearest_reason(int code)
{
    static const char *const words[] = {"found", "none", "unreachable", "scope", "invalid"};
    return code >= 0 && code <= NEAREST_INVALID ? words[code] : "invalid";
}

int nearest_table_find(nearest_table *t, const nearest_query *query, nearest *answer)
{
    if (!fits(query->size, sizeof *query) || !fits(answer->size, sizeof *answer))
        return NEAREST_INVALID;
    const reading r(t);
    return find(r.copy_read(), *query, t->uid, answer);
}

size_t nearest_table_find_many(nearest_table *t, const nearest_query *queries, size_t n,
                               nearest *answers, int *reasons)
{
    if (n == 0)
        return 0;
    const bool readable =
        fits(queries->size, sizeof *queries) && fits(answers->size, sizeof *answers);
    const std::size_t qstep = stride(queries->size, sizeof *queries);
    const std::size_t astep = stride(answers->size, sizeof *answers);
    const auto *q = reinterpret_cast<const char *>(queries);
    auto *a = reinterpret_cast<char *>(answers);
    const reading r(t);
    std::size_t found = 0;
    for (std::size_t done = 0; done < n;) {
        const std::size_t m = std::min(n - done, batch);
        const nearest_query *in[batch];
        nearest *out[batch];
        int codes[batch];
        // These queries asked for all at once, before the first is read:
        // from a long array, each would be a miss of its own in turn.
        for (std::size_t i = 0; i < m; ++i, q += qstep, a += astep) {
            in[i] = reinterpret_cast<const nearest_query *>(q);
            out[i] = reinterpret_cast<nearest *>(a);
            __builtin_prefetch(q);
            __builtin_prefetch(q + qstep - 1);
        }
        // The next queries asked for while these are answered: a long
        // array of them comes from memory.
        for (std::size_t i = 0; i < std::min(n - done - m, batch); ++i)
            __builtin_prefetch(q + (i * qstep));
        if (readable)
            find_many(r.copy_read(), in, m, t->uid, out, codes);
        else
            std::fill_n(codes, m, NEAREST_INVALID);
        for (std::size_t i = 0; i < m; ++i, ++done) {
            found += codes[i] == NEAREST_FOUND ? 1 : 0;
            if (reasons != nullptr)
                reasons[done] = codes[i];
        }
    }
    return found;
}

// --- One table of the caller's namespace: a thin layer over a handle

namespace {

nearest_table *mine;
nearest answer;

} // namespace

int nearest_open()
{
    nearest_table_close(mine);
    mine = nearest_table_open(-1);
    return mine != nullptr ? mine->nl.fd : -1;
}

int nearest_update()
{
    return nearest_table_update(mine);
}

const struct nearest *nearest_find(const struct sockaddr *to, const char **why)
{
    int code = NEAREST_NONE;
    if (mine != nullptr && to != nullptr) {
        answer.size = sizeof answer;
        const reading r(mine);
        code = find_to(r.copy_read(), to, mine->uid, &answer);
    }
    if (why != nullptr)
        *why = code == NEAREST_FOUND ? answer.why : nearest_reason(code);
    return code == NEAREST_FOUND ? &answer : nullptr;
}

int nearest_feed(const void *datagram, size_t len)
{
    if (mine == nullptr)
        mine = make_table();
    return mine != nullptr ? apply_datagram(mine, datagram, len) : NEAREST_ERROR;
}

int nearest_table_feed(nearest_table *t, const void *datagram, size_t len)
{
    return apply_datagram(t, datagram, len);
}

int nearest_table_valid(nearest_table *t)
{
    return valid_state(t->copies[0]) && valid_state(t->copies[1]) ? 1 : 0;
}

int nearest_valid()
{
    return mine == nullptr ? 1 : nearest_table_valid(mine);
}
