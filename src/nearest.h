// SPDX-License-Identifier: ISC
// The nearest address: the device and source address this host's kernel
// would send from to a destination, as `ip route get` names them, decided in
// user space from a copy of the policy rules, the routes of every table and
// the addresses, kept current from rtnetlink events.
#ifndef LANPICK_NEAREST_H
#define LANPICK_NEAREST_H

#include <net/if.h>
#include <netinet/in.h>
#include <stddef.h> // NOLINT(modernize-deprecated-headers): a C header too
#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

// What this header declares is the library's interface, visible from its
// shared object; the rest of the library is hidden.
#pragma GCC visibility push(default)

// One answer. The caller allocates it; size says how much of it the
// library may write: sizeof(struct nearest) as the caller's header defines
// it, or 0 for the first form of this record. Later versions
// add fields only at the end, and fill only those that size holds.
struct nearest {
    unsigned int size;
    char name[IF_NAMESIZE]; // the device's name, such as "eth0"
    unsigned int index;     // the device's index
    int family;             // AF_INET or AF_INET6
    union {
        struct in_addr v4;
        struct in6_addr v6;
    } addr;        // the source address chosen
    int prefixlen; // its prefix length on the host (32 or 128 when not assigned)
    union {
        struct in_addr v4;
        struct in6_addr v6;
    } gateway;          // the next hop, or zeros when the destination is on-link
    int gateway_family; // its family, AF_INET or AF_INET6 (an IPv4 route may go
                        // through an IPv6 gateway), or 0 when on-link
    unsigned int table; // the routing table that answered, such as 254 (main)
    // "same" (the destination is local: the device is loopback), "subnet"
    // (the connected route of one of the host's subnets) or "route" (any
    // other route: through a gateway, a device or another table)
    const char *why;
};

// --- Tables

// A copy of one network namespace's rules, routes, addresses and devices,
// kept current from its rtnetlink events. Any number of threads may look up
// in it at once, while one thread applies its events.
struct nearest_table;

// Opens a table for the network namespace that the descriptor netns names
// (from /run/netns/NAME or /proc/PID/ns/net), or for the caller's own when
// it is -1: one rtnetlink socket, made inside that namespace by a thread of
// its own, so that the caller's threads never leave theirs, then a first dump
// of the links, addresses, routes of every table and rules. Needs
// CAP_SYS_ADMIN over another namespace. Returns the table, or null after a
// report at level 3. The caller may close netns after.
struct nearest_table *nearest_table_open(int netns);

// The table's socket, non-blocking: readable when events are queued.
int nearest_table_fd(const struct nearest_table *t);

// Applies the events queued on the table's socket, without waiting, as
// nearest_update does. One thread at a time per table; lookups go on
// meanwhile, each on the table as it was before an event or after it.
int nearest_table_update(struct nearest_table *t);

// Closes the socket and gives back the table's memory. No thread may be
// using t, nor use it after.
void nearest_table_close(struct nearest_table *t);

// The index of the device called name in the table's namespace, or 0.
unsigned int nearest_table_index(struct nearest_table *t, const char *name);

// An address of either family.
union nearest_address {
    struct sockaddr sa;
    struct sockaddr_in v4;
    struct sockaddr_in6 v6;
};

// What the query sets besides its destination (flags).
#define NEAREST_FROM 0x01U    // from: the packet's source address
#define NEAREST_OIF 0x02U     // oif: the device it must leave by
#define NEAREST_MARK 0x04U    // mark: its firewall mark
#define NEAREST_UID 0x08U     // uid: its socket's owner (else the opener's)
#define NEAREST_TOS 0x10U     // tos: its TOS byte
#define NEAREST_IPPROTO 0x20U // ipproto: its IP protocol, such as 6 (TCP)
#define NEAREST_SPORT 0x40U   // sport: its source port, host byte order
#define NEAREST_DPORT 0x80U   // dport: its destination port, host byte order

// A packet this host would send, as the kernel's route decision sees it.
// A field counts only when flags says so; what is not set is as a local
// packet has it: no source, no device, mark 0, the uid of the process that
// opened the table, TOS 0, no protocol, no ports. size as in struct nearest:
// sizeof(struct nearest_query), or 0 for this first form.
struct nearest_query {
    unsigned int size;
    unsigned int flags;
    union nearest_address to; // AF_INET or AF_INET6; a mapped IPv6 address is IPv4
    union nearest_address from;
    unsigned int oif;
    unsigned int mark;
    unsigned int uid;
    unsigned char tos;
    unsigned char ipproto;
    unsigned short sport;
    unsigned short dport;
};

// Why there is no answer: what nearest_table_find returns.
#define NEAREST_FOUND 0       // an answer
#define NEAREST_NONE 1        // no route, or no address of this host to send from
#define NEAREST_UNREACHABLE 2 // a blackhole, unreachable or prohibit route or rule
#define NEAREST_SCOPE 3       // a link-local IPv6 destination without a scope id
#define NEAREST_INVALID 4     // a query this library cannot read: its size or flags

// The code's word: "found", "none", "unreachable", "scope" or "invalid".
const char *nearest_reason(int code);

// The kernel's output route for the query's packet, as `ip route get`
// with the same words names it, into *answer. Returns NEAREST_FOUND, or a
// reason with *answer untouched. Takes no lock, makes no system call and
// allocates nothing; safe from any number of threads at once, beside one
// that calls nearest_table_update.
int nearest_table_find(struct nearest_table *t, const struct nearest_query *query,
                       struct nearest *answer);

// Answers n queries at once, their lookups interleaved so that their
// reads of memory overlap: answers[i] and, unless reasons is null,
// reasons[i] for queries[i]. The arrays' elements are as long as the size of
// their first element says. Returns how many were answered.
size_t nearest_table_find_many(struct nearest_table *t, const struct nearest_query *queries,
                               size_t n, struct nearest *answers, int *reasons);

// --- One table of the caller's namespace, for a single thread

// Opens one rtnetlink socket, subscribed to the link, address, route and rule
// events of IPv4 and IPv6, and fills the table from a first dump of the
// links, the addresses, the routes of every table and the rules. Returns the socket, non-blocking,
// for the caller to poll for readability and then call nearest_update; or -1 after a report at
// level 3. A second call drops the first socket and its table. Not thread-safe.
int nearest_open(void);

// Applies the events queued on the socket, without waiting. Each event
// changes the table in place; when some were lost (the queue overflowed), or
// a dump was interrupted, the table is read anew with one dump of each kind. Returns 0,
// 1 when events were lost and the table was read anew, or -1 after a report
// at level 3 when the socket failed.
// Allocates only while the table grows past its largest size so far.
int nearest_update(void);

// The kernel's output route to the destination to, a sockaddr_in or a
// sockaddr_in6 (an IPv4-mapped IPv6 address is taken as the IPv4 address;
// an IPv6 link-local one needs its sin6_scope_id), for a packet with no
// source address, mark 0, this process's uid, TOS 0 and no protocol or
// ports: the policy rules in order, the longest prefix then the lowest
// metric in each table, then the route's preferred source or the kernel's
// choice of one. Returns a record in static storage, valid until the next
// call of this module, or null. *why, unless why is null, receives the
// record's why, or when there is no answer "none" (no route, no address of
// this host to send from, or to is of another family), "unreachable" (a
// blackhole, unreachable or prohibit route or rule) or "scope" (a link-local
// destination without a scope id).
// Makes no system call and allocates nothing. Not thread-safe.
const struct nearest *nearest_find(const struct sockaddr *to, const char **why);

// Applies the rtnetlink messages of one datagram to the table of
// nearest_open (an empty one if none is open), or to t, as nearest_update does
// with each it reads; datagram is aligned as a struct nlmsghdr. Returns a
// mask of NEAREST_DONE (a dump ended), NEAREST_INTR (a dump was interrupted)
// and NEAREST_ERROR (the kernel refused a request). For tests and fuzzing.
int nearest_feed(const void *datagram, size_t len);
int nearest_table_feed(struct nearest_table *t, const void *datagram, size_t len);
#define NEAREST_DONE 1
#define NEAREST_INTR 2
#define NEAREST_ERROR 4

// 1 when the table of nearest_open is well-formed, else 0; for tests and
// fuzzing. nearest_table_valid checks t's.
int nearest_valid(void);
int nearest_table_valid(struct nearest_table *t);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
