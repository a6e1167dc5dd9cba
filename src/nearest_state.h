// SPDX-License-Identifier: ISC
// The host's state as the nearest module keeps it, between the netlink side
// that reads the kernel's messages into changes and the decision that reads
// the state: devices, addresses, routes of every table, policy rules.
#ifndef LANPICK_NEAREST_STATE_H
#define LANPICK_NEAREST_STATE_H

#include "nearest_prefix.h"

#include <net/if.h>

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

inline constexpr u8 loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// An IPv6 address's scope as the kernel ranks it in source selection and
// orders a device's addresses by: 2 link (loopback too), 5 site, 14
// global, a multicast address's own.
inline int scope6(const u8 *a)
{
    if (a[0] == 0xff)
        return a[1] & 15;
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80)
        return 2;
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0xc0)
        return 5;
    return std::memcmp(a, loopback6, 16) == 0 ? 2 : 14;
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
    bool dying;  // while objects are taken away: this one goes
    bool shrunk; // and this group lost members
};

struct table {
    u32 id = 0;
    prefix_table<4, route, 8> v4;
    prefix_table<16, route> v6;
    source_route *from = nullptr; // by dstlen, longest first, then srclen, then metric
    u32 nfrom = 0, fromcap = 0;
};

struct rule_list {
    rule *list; // in the kernel's order: by priority, then as added
    u32 n;
    u32 cap;
};

struct state {
    device *devices; // sorted by index
    u32 ndevices, devcap;
    address *addresses;
    u32 naddresses, addrcap, addrfreed = none;
    prefix_table<4> local4; // each local address, by itself
    prefix_table<16> local6;
    u32 seq; // the kernel's order of new IPv6 addresses
    u32 gen; // moves whenever an IPv4 source could change
    route *routes;
    u32 nroutes, routecap, routefreed = none;
    hop *hops;
    u32 nhops, hopcap, hopfreed = none;
    u32 *hopbuckets;
    u32 nhopbuckets;
    cell *cells;
    u32 ncells, cellcap, cellfreed = none;
    object *objects; // sorted by id
    u32 nobjects, objcap;
    table **tables;
    u32 ntables, tablecap;
    rule_list rules[2];
    u32 fresh_gen = none; // the generation the nexthops' devices and sources were found in
    bool unfollowed_said;

    // The route after x among its prefix's, or null.
    [[nodiscard]] route *next_route(const route &x) const
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

    [[nodiscard]] const device *find_device(int index) const;
    [[nodiscard]] const device *find_device(const char *name) const;
    [[nodiscard]] const table *find_table(u32 id) const;
    // The place of nexthop object id in objects: where it is, or would go.
    [[nodiscard]] u32 object_at(u32 id) const;
    // The address local of slot s, or none.
    [[nodiscard]] u32 find_address(int s, const u8 *local) const;
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

// The kernel's IPv4 source for a route of this scope through device index
// and gateway gw (null when on-link), or none.
u32 choose4(const state &st, int index, const u8 *gw, int scope);

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
    u32 seq = 0;
    alignas(16) char buffer[65536];
};

enum class got : unsigned char { some, nothing, lost, failed };

// Opens l's socket, subscribed to every change the state follows, in the
// network namespace netns (-1: the caller's); false after a report.
bool link_open(rtnl &l, int netns);
// One datagram into l.buffer, without waiting: some, or nothing queued.
got receive(rtnl &l, long *n);
// Empties st and fills it from one dump of each kind; false after a report.
bool load(rtnl &l, state &st);
// Applies the messages of one datagram to st; NEAREST_DONE, NEAREST_INTR,
// NEAREST_ERROR as they were seen.
int feed(state &st, const void *datagram, std::size_t len, bool quiet);

} // namespace nearest_internal

#endif
