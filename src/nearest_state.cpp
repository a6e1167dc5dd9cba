// SPDX-License-Identifier: ISC
// The state as a whole: emptied before a dump, copied to the other copy,
// given back. Its parts are listed once, in state::parts(); the writer's
// parts change them (nearest_write.h), the decision reads them.
#include "nearest_state.h"

#include <cstdlib>
#include <new>

namespace nearest_internal {

table *table_set::make(u32 id)
{
    if (table *t = find(id); t != nullptr)
        return t;
    if (!grow(&list.data, &list.cap, list.n + 1))
        return nullptr;
    // malloc and placement new: the library needs no C++ runtime.
    void *room = std::malloc(sizeof(table));
    if (room == nullptr)
        return nullptr;
    auto *t = new (room) table;
    t->id = id;
    list[list.n++] = t;
    return t;
}

// The tables stay, emptied: a reload fills the same ones again.
void table_set::clear()
{
    for (table *t : list)
        t->clear();
}

bool table_set::assign(const table_set &o)
{
    clear();
    for (const table *from : o.list) {
        table *t = make(from->id);
        if (t == nullptr || !t->assign(*from))
            return false;
    }
    return true;
}

void table_set::release()
{
    for (table *t : list) {
        t->from.release();
        t->~table();
        std::free(t);
    }
    list.release();
}

namespace {

template <typename F> void each_part(state &st, F f)
{
    std::apply([&](auto &...part) { (f(part), ...); }, state::parts(st));
}

} // namespace

void clear_state(state &st)
{
    each_part(st, [](auto &part) { part.clear(); });
    st.strays = none;
    st.awaited = none;
    ++st.gen;
}

bool copy_state(state &to, const state &from)
{
    const auto mine = state::parts(to);
    const auto theirs = state::parts(from);
    if (!each_pair(
            mine, theirs, [](auto &a, const auto &b) { return a.assign(b); },
            std::make_index_sequence<std::tuple_size_v<decltype(mine)>>{})) {
        clear_state(to);
        return false;
    }
    to.strays = from.strays;
    to.awaited = from.awaited;
    to.seq = from.seq;
    to.gen = from.gen;
    to.fresh_gen = from.fresh_gen;
    to.unfollowed_said = from.unfollowed_said;
    to.use_neigh = from.use_neigh;
    return true;
}

void drop_state(state &st)
{
    each_part(st, [](auto &part) { part.release(); });
    st.~state();
    new (&st) state{};
}

} // namespace nearest_internal
