// SPDX-License-Identifier: ISC
// The host's state as the nearest module keeps it, between the netlink side
// that reads the kernel's messages into changes and the decision that reads
// the state: devices, addresses, routes of every table, policy rules.
#ifndef LANPICK_NEAREST_STATE_H
#define LANPICK_NEAREST_STATE_H

#include "nearest_pool.h"
#include "nearest_prefix.h"

#include <linux/neighbour.h>
#include <net/if.h>

#include <algorithm>

struct nearest;
struct nearest_query;
struct sockaddr;

namespace nearest_internal {

// Slot 0 holds IPv4, slot 1 IPv6.
constexpr int v4 = 0;
constexpr int v6 = 1;
constexpr int maxhops = 16;    // the nexthops of a multipath route kept
constexpr int maxmembers = 64; // the members of a nexthop group kept

inline int bits(int s)
{
    return s == v4 ? 32 : 128;
}

// One nexthop: through gateway (of gwslot, or none when gwslot < 0) on
// device oif.
struct nexthop {
    u8 gateway[16];
    int gwslot;
    int oif;
};

// A policy rule as the kernel applies it.
struct rule {
    u32 priority;
    u32 table;
    u32 target; // of a goto
    int action; // FR_ACT_*
    bool invert;
    int srclen;
    int dstlen;
    u8 src[16];
    u8 dst[16];
    int tos;
    u32 mark;
    u32 mask;
    char iif[IF_NAMESIZE];
    char oif[IF_NAMESIZE];
    u32 uidlo;
    u32 uidhi;
    int ipproto;  // 0 for any
    u32 sport[3]; // a port range and its mask, or zeros for any
    u32 dport[3];
    bool needs;          // a selector no local packet meets: a tunnel, an L3 master, newer ones
    bool plain;          // no selector at all: it selects every packet
    int suppress_len;    // -1 when unset
    long suppress_group; // -1 when unset
};

// What a nexthop object is, as far as this module follows it.
constexpr u8 object_unknown = 0; // none of that id, or a kind not followed
constexpr u8 object_single = 1;  // a gateway and a device, or a device alone
constexpr u8 object_blackhole = 2;
constexpr u8 object_group = 3; // members, any of which carries a packet

// What one rtnetlink message says, read once and then forgotten.
struct change {
    int type;         // RTM_NEWLINK ... RTM_DELNEXTHOP
    unsigned nlflags; // NLM_F_REPLACE, NLM_F_APPEND of a new route
    int slot;
    int index;
    // A link's IFF_* and group, an address's IFA_F_*, a route's RTM_F_*.
    unsigned flags;
    u32 group;
    char name[IF_NAMESIZE];
    // An address local/len (peer, point-to-point), or a route to local/len.
    int len;
    int scope;
    u8 local[16];
    u8 peer[16];
    // A route's table and nexthops.
    u32 table;
    int tos;
    int protocol;
    int rtype; // RTN_*
    u32 metric;
    bool has_prefsrc;
    u8 prefsrc[16];
    int srclen; // an IPv6 route's source prefix src/srclen, or 0
    u8 src[16];
    u32 object; // a route's nexthop object, or a nexthop object's own id; 0 for none
    int nhops;
    nexthop hops[maxhops];
    rule r;
    // A nexthop object's kind and, of a group, its members' ids.
    u8 kind;
    bool resilient; // a group of buckets, as resilient groups are
    int nmembers;
    u32 members[maxmembers];
};

// What the decision reads.
struct device {
    int index;
    unsigned flags; // IFF_*
    u32 group;
    char name[IF_NAMESIZE];
    u32 first[2]; // its first address of each family, in the kernel's order
    u32 last[2];  // and its last
    int count4;   // its IPv4 addresses
};

struct address {
    u8 local[16];
    u8 net[16]; // its subnet (the peer's, point-to-point), masked
    unsigned flags;
    int index;
    u32 next; // the next on its device, of its family
    u32 same; // the next with the same local address
    u8 slot;
    u8 len;
    u8 scope;
};

// A nexthop as routes share it: a full table through one gateway keeps one.
// Routes through a nexthop object share a binding instead: a hop with the
// object's id, whose members are the nexthops of the object as it is now,
// found anew whenever the object changes, so that its routes follow it
// without a message of their own.
struct hop {
    nexthop nh;
    u8 prefsrc[16];
    u32 refs;    // 0 when free
    u32 chain;   // the hash's next, or the free list's
    u32 object;  // a binding's object id, else 0
    u32 members; // a binding's nexthops, a list of cells
    u8 kind;     // a binding's object's kind
    bool bound;  // a nexthop of a binding's object, not of a route's own
    bool doomed; // while objects are taken away: a binding to one that goes
    // Kept until an address or a link changes, as the kernel keeps its
    // choice of source for a nexthop: the generation they were found in,
    // the device's place in state::devices, and the address of the
    // preferred source, or the IPv4 address the kernel would choose.
    u32 gen;
    u32 device;
    u32 source;
    u8 slot;  // the family of the routes through it
    u8 scope; // theirs: how far a source chosen for them may reach
    bool has_prefsrc;
    bool resilient; // a binding's object is a resilient group
    bool shunned;   // its gateway's neighbour entry is in no valid state
};

// A route, 16 bytes: a full table holds a million. A prefix keeps its first
// route in its own record, where a lookup finds it with the key, and the
// rest in st.routes; a vacant first route (type RTN_UNSPEC) has none.
struct route {
    u32 metric = 0;
    u32 hop = none; // its nexthop, or with multipath a list of cells; none through a nexthop object
    u32 next = none; // the next route of its prefix, in the kernel's order, in st.routes
    u8 tos = 0;
    u8 type = 0;
    u8 flags = 0; // route_*
};

constexpr u8 route_kernel = 1;    // made by the kernel (RTPROT_KERNEL)
constexpr u8 route_host = 2;      // of host scope
constexpr u8 route_multipath = 4; // hop names a list of cells
constexpr u8 route_object = 8;    // hop names a binding to a nexthop object

struct cell {
    u32 hop;
    u32 next;
};

// An IPv6 route that holds only packets from a source prefix (ip -6 route
// add D from S): the kernel keeps it in a subtree of D's node, where a
// packet whose source no such prefix holds finds nothing, and goes on to a
// shorter prefix than D, past D's plain routes.
struct source_route {
    u8 dst[16];
    u8 src[16];
    u8 dstlen;
    u8 srclen;
    route r; // its next is unused
};

// A nexthop object (ip nexthop) as the kernel keeps it.
struct object {
    u32 id;
    u8 kind;
    nexthop nh;  // a single one's
    u32 members; // a group's: the members' ids, a list of cells
    u32 groups;  // the groups that hold it, by id: a list of cells
    u32 bound;   // the bindings to it, by place in st.hops: a list of cells
    bool resilient; // a group of buckets: its choice checks no neighbour
    bool dying;     // while objects are taken away: this one goes
    bool shrunk; // and this group lost members
};

struct table {
    u32 id = 0;
    prefix_table<4, route, 8> v4;
    prefix_table<16, route> v6;
    pool<source_route> from; // by dstlen, longest first, then srclen, then metric

    void clear()
    {
        v4.clear();
        v6.clear();
        from.clear();
    }
    bool assign(const table &o)
    {
        return v4.assign(o.v4) && v6.assign(o.v6) && from.assign(o.from);
    }
};

// The routing tables, each made when a route first names it and kept,
// emptied, until the state goes: few hosts have more than a handful.
struct table_set {
    pool<table *> list;

    [[nodiscard]] table *find(u32 id) const
    {
        table *const *t =
            std::find_if(list.begin(), list.end(), [id](const table *x) { return x->id == id; });
        return t != list.end() ? *t : nullptr;
    }
    // Table id, made when new; null without memory.
    table *make(u32 id);
    void clear();
    bool assign(const table_set &o);
    void release();
};

// The neighbour states the kernel counts as valid (its NUD_VALID, which
// it does not export).
constexpr unsigned nud_valid =
    NUD_PERMANENT | NUD_NOARP | NUD_REACHABLE | NUD_PROBE | NUD_STALE | NUD_DELAY;

// A neighbour entry (ARP, NDP) that the kernel holds in no valid state
// (incomplete, failed, none): a gateway that multipath avoids. Valid ones
// are not kept, nor counted: an entry that is valid and none at all are
// alike to the choice.
struct neighbour {
    u8 addr[16];
    int index;
    u8 slot;
    std::uint16_t nud; // NUD_*
};

struct state {
    pool<device> devices; // sorted by index
    pool<address> addresses;
    prefix_table<4> local4; // each local address, by itself
    prefix_table<16> local6;
    pool<route> routes;
    pool<hop> hops;
    pool<u32> buckets; // the hops' hash: a power of two of them, or none
    pool<cell> cells;
    pool<object> objects; // sorted by id
    table_set tables;
    pool<rule> rules[2];  // in the kernel's order: by priority, then as added
    pool<neighbour> unusable;
    u32 strays = none;    // bindings to objects not held: a list of cells
    u32 awaited = none;   // groups with a member not held, by id: a list of cells
    u32 seq = 0;          // the kernel's order of new IPv6 addresses
    u32 gen = 0;          // moves whenever an IPv4 source could change
    u32 fresh_gen = none; // the generation the nexthops' devices and sources were found in
    bool unfollowed_said = false;
    bool use_neigh = false; // net.ipv4.fib_multipath_use_neigh

    // Every part that holds memory, each with clear(), assign() and
    // release(): the one list of them.
    template <typename S> static auto parts(S &s)
    {
        return std::tie(s.devices, s.addresses, s.local4, s.local6, s.routes, s.hops, s.buckets,
                        s.cells, s.objects, s.tables, s.rules[v4], s.rules[v6], s.unusable);
    }

    // The route after x among its prefix's, or null.
    [[nodiscard]] const route *next_route(const route &x) const
    {
        return x.next != none ? &routes[x.next] : nullptr;
    }
    route *next_route(const route &x)
    {
        return x.next != none ? &routes[x.next] : nullptr;
    }

    // The first nexthop of route x for which f is true, or none: of its
    // own, or of the object it goes through.
    template <typename F> [[nodiscard]] u32 find_hop(const route &x, F f) const
    {
        if (x.hop == none)
            return none;
        if ((x.flags & (route_multipath | route_object)) == 0)
            return f(x.hop) ? x.hop : none;
        const u32 first = (x.flags & route_object) != 0 ? hops[x.hop].members : x.hop;
        for (u32 c = first; c != none; c = cells[c].next)
            if (f(cells[c].hop))
                return cells[c].hop;
        return none;
    }

    // The place of device index in devices: where it is, or would go.
    [[nodiscard]] u32 device_at(int index) const
    {
        return devices.place(index, &device::index);
    }
    [[nodiscard]] const device *find_device(int index) const
    {
        const u32 at = device_at(index);
        return at < devices.n && devices[at].index == index ? &devices[at] : nullptr;
    }
    [[nodiscard]] const device *find_device(const char *name) const
    {
        for (const device &d : devices)
            if (std::strncmp(d.name, name, sizeof d.name) == 0)
                return &d;
        return nullptr;
    }
    [[nodiscard]] const table *find_table(u32 id) const
    {
        return tables.find(id);
    }
    // The place of nexthop object id in objects: where it is, or would go.
    [[nodiscard]] u32 object_at(u32 id) const
    {
        return objects.place(id, &object::id);
    }
    [[nodiscard]] const object *find_object(u32 id) const
    {
        const u32 at = object_at(id);
        return at < objects.n && objects[at].id == id ? &objects[at] : nullptr;
    }
    // The place in unusable of the entry for addr (of slot s) on device
    // index, or none.
    [[nodiscard]] u32 find_unusable(int index, int s, const u8 *addr) const
    {
        for (u32 i = 0; i < unusable.n; ++i) {
            const neighbour &n = unusable[i];
            if (n.index == index && n.slot == s && std::memcmp(n.addr, addr, s == v4 ? 4 : 16) == 0)
                return i;
        }
        return none;
    }
    // Whether the gateway of nexthop h has a neighbour entry in no valid state.
    [[nodiscard]] bool unusable_gateway(const hop &h) const
    {
        return h.nh.gwslot >= 0 && find_unusable(h.nh.oif, h.nh.gwslot, h.nh.gateway) != none;
    }
    // The first address local of slot s, by way of the local table, or none.
    [[nodiscard]] u32 find_address(int s, const u8 *local) const
    {
        const u32 p = s == v4 ? local4.find(local, 32) : local6.find(local, 128);
        return p == none ? none : s == v4 ? local4.value(p) : local6.value(p);
    }
};

// Applies one change to st; quiet when the same change was applied, and
// reported, on the other copy of the table.
void apply(state &st, const change &c, bool quiet);

// Finds each nexthop's device and source anew where an address or a link
// changed since: before a copy is read, so that readers write nothing.
void refresh(state &st);

// Empties st before a fresh dump, keeping its memory.
void clear_state(state &st);

// Makes to a copy of from; false, with to emptied, when memory ran out.
bool copy_state(state &to, const state &from);

// Gives back all the memory of st.
void drop_state(state &st);

// Whether st is well-formed; for tests and fuzzing.
bool valid_state(const state &st);

// The answer to query q on st into *out: NEAREST_FOUND or why there is
// none. uid is the one a query without its own has.
int find(const state &st, const nearest_query &in, unsigned uid, nearest *out);

// The answer for a packet to to with nothing else set, as find() gives
// it; NEAREST_NONE for another family than IPv4's and IPv6's.
int find_to(const state &st, const sockaddr *to, unsigned uid, nearest *out);

// The answers to n queries (n at most batch), their walks of the first
// tables interleaved: out[i] and codes[i] for in[i].
constexpr std::size_t batch = 64;
void find_many(const state &st, const nearest_query *const *in, std::size_t n, unsigned uid,
               nearest *const *out, int *codes);

// --- The netlink side

// One rtnetlink socket and what is read from it.
struct rtnl {
    int fd = -1;
    int use_neigh = -1; // the namespace's net.ipv4.fib_multipath_use_neigh, open
    u32 seq = 0;
    alignas(16) char buffer[65536];
};

enum class got : unsigned char { some, nothing, lost, failed };

// Opens l's socket, subscribed to every change the state follows, in the
// network namespace netns (-1: the caller's); false after a report.
bool link_open(rtnl &l, int netns);
// Whether the namespace's IPv4 multipath avoids gateways whose neighbour
// entry is not valid (net.ipv4.fib_multipath_use_neigh), as it reads now:
// the kernel sends no message when it changes.
bool use_neigh(const rtnl &l);
// One datagram into l.buffer, without waiting: some, or nothing queued.
got receive(rtnl &l, long *n);
// Empties st and fills it from one dump of each kind; false after a report.
bool load(rtnl &l, state &st);
// Applies the messages of one datagram to st; NEAREST_DONE, NEAREST_INTR,
// NEAREST_ERROR as they were seen.
int feed(state &st, const void *datagram, std::size_t len, bool quiet);

} // namespace nearest_internal

#endif
