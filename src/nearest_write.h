// SPDX-License-Identifier: ISC
// The writer of the nearest module's state, in parts, one for each kind of
// object the kernel keeps apart, as it splits them between devinet.c and
// addrconf.c (devices and their addresses), fib_semantics.c (the nexthops
// that routes share), nexthop.c (nexthop objects), fib_trie.c (the routes
// of each table) and fib_rules.c. Each part changes its own objects only,
// and names what it leaves to others; what one change brings about in
// another kind of object, with a message or silently, is decided in one
// place, nearest_events.cpp. Every part runs on the updater's thread, on
// the copy that no lookup reads, and reports what fails to fit (memory ran
// out) unless quiet: the same change applied to the other copy said so.
#ifndef LANPICK_NEAREST_WRITE_H
#define LANPICK_NEAREST_WRITE_H

#include "nearest_state.h"

namespace nearest_internal {

// What every part holds: the copy it changes, and whether to keep quiet.
class part {
  public:
    part(state &s, bool q) : st(s), quiet(q)
    {
    }

  protected:
    state &st; // NOLINT(cppcoreguidelines-avoid-const-or-ref-data-members): a part lives for one
               // change
    bool quiet;
};

// Devices, and their addresses in the kernel's order: in each device's
// list, and in the local table by address. (nearest_links.cpp)
class links : public part {
  public:
    using part::part;

    // What a link change did to a device that was known.
    struct news {
        bool known;     // the device was there before, or is now
        bool set_down;  // it was up and is not
        bool uncarried; // it is down, or lost its carrier
    };
    news set(const change &c);
    // Takes every address off device index.
    void strip(int index);
    // Forgets device index, which has no addresses left.
    void remove(int index);
    void add_address(const change &c);
    // Takes the address out; false when it was not there.
    bool drop_address(const change &c);
    // The device of index, or null.
    device *find(int index);
    // Whether the host still holds IPv6 address local for a route through
    // device index: on that device, or of a wider scope than link on
    // another; a tentative one is not held yet.
    [[nodiscard]] bool holds6(const u8 *local, int index) const;

  private:
    u32 *locals_of(int s, const u8 *local, bool make);
    u32 find_on_device(const change &c, const u8 *net);
    u32 *place_for(device *d, const address &x, bool dumped) const;
    void unlink_address(u32 a);
};

// The nexthops that routes share, in a hash, and the lists of cells that
// hold a multipath route's nexthops or an object's members. A hop holds
// references; the last put gives it back. (nearest_hops.cpp)
class shared_hops : public part {
  public:
    using part::part;

    // The shared copy of h, with one more reference; none without memory.
    u32 take(const hop &h);
    void put(u32 x);
    u32 take_cell(u32 value, u32 next);
    // Gives back a list of cells, and the nexthops they hold when hops.
    void put_cells(u32 c, bool hops);
    // Takes cell list entry value out of the list at *first, if there.
    void unlist(u32 *first, u32 value);
    // Forgets the preferred source of nexthop x, as the kernel does when the
    // address goes; its routes keep it, and the kernel chooses anew.
    void forget_prefsrc(u32 x);

  private:
    void rehash();
    void unhash(u32 x);
    void hash_in(u32 x);
};

// Nexthop objects by id, the groups that hold each, and the bindings of
// routes to them: a binding is a shared hop with the object's id, whose
// members are the object's nexthops as they are now, found anew whenever
// the object changes. An object that goes takes its routes with it; the
// events do that between doom() and bury(). (nearest_objects.cpp)
class nexthop_objects : public part {
  public:
    using part::part;

    void set(const change &c);
    // Marks the objects that go: object id, or those through device index
    // (the kernel's nexthop_flush_dev), and the groups left empty; whether
    // any goes. Their routes are to go before bury().
    bool doom(u32 id);
    bool doom_device(int index);
    // Takes the doomed objects away; the groups that held them shrink, and
    // the bindings left to them find nothing.
    void bury();
    // The shared binding b, with its object's nexthops when it is new;
    // none without memory.
    u32 take_binding(const hop &b);
    // Gives back binding x, with its object's nexthops when it was the last.
    void put_binding(u32 x);

  private:
    object *find(u32 id);
    template <typename F> bool doom_if(F dies);
    void shrink(object &g);
    void say_unfollowed();
    u32 member_hop(u32 b, const object &o);
    bool add_member(u32 b, const object &o, u32 *tail);
    void bind(u32 b);
    void unbind(u32 b);
    void bind_all(u32 list);
    u32 *bindings_of(u32 id);
    void list_groups(const object &g, bool in);
    void list_awaiting(object &o);
};

// The routes of every table, and the flushes the kernel makes of them
// without a message. (nearest_routes.cpp)
class route_tables : public part {
  public:
    using part::part;

    void add(const change &c);
    void drop(const change &c);
    // The routes of family slot whose every nexthop is on device index, but
    // for those of host scope when keep_host.
    void flush_device(int index, int slot, bool keep_host);
    // The routes through doomed nexthop objects.
    void flush_doomed();
    // The main table's IPv4 routes whose preferred source is local.
    void flush_source(const u8 *local);

    // Shared with the source routes:
    // The route that c describes, into *x, with its nexthops shared; false
    // without memory.
    bool make(const change &c, route *x);
    // Gives back the nexthops that route x holds.
    void release(const route &x);
    // Whether route x is the one c names.
    bool names(const route &x, const change &c);
    // Whether every nexthop of route x is on device index.
    bool all_through(const route &x, int index);

  private:
    static route &head(table *t, int s, u32 p);
    void free_slot(u32 r);
    bool place(route &first, route x, const change &c, u32 spare);
    void unlink(table *t, int s, u32 p, route *prev, route *y);
    template <typename Prefixes, typename F>
    void drop_in(table *t, Prefixes &prefixes, int s, F dies);
    void said(const change &c);
};

// IPv6 routes from a source prefix, in a short list of each table: few
// hosts have any. (nearest_source_routes.cpp)
class source_routes : public part {
  public:
    using part::part;

    void add(const change &c);
    void drop(const change &c);
    // Those whose every nexthop is on device index.
    void flush_device(int index);

  private:
    static bool of(const source_route &e, const change &c);
    static u32 place_of(const table &t, const change &c);
    void remove(table *t, u32 i);
};

// The neighbour entries in no valid state, and the mark they leave on the
// nexthops whose gateway they are. (nearest_neighbours.cpp)
class neighbours : public part {
  public:
    using part::part;

    // An entry new, changed or gone.
    void set(const change &c);
    // Forgets the entries of device index, which is gone.
    void forget_device(int index);

  private:
    void mark(const neighbour &n, bool shunned);
};

// The policy rules of each family, in the kernel's order. (nearest_rules.cpp)
class policy_rules : public part {
  public:
    using part::part;

    void add(const change &c);
    void drop(const change &c);
};

} // namespace nearest_internal

#endif
