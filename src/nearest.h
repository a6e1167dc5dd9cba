// SPDX-License-Identifier: ISC
// The nearest address: the device and source address this host's kernel
// would send from to a destination, as `ip route get` names them, decided in
// user space from a copy of the policy rules, the routes of every table and
// the addresses, kept current from rtnetlink events.
#ifndef LANPICK_NEAREST_H
#define LANPICK_NEAREST_H

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

// One answer of nearest_find.
struct nearest {
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
    unsigned int table; // the routing table that answered, such as 254 (main)
    // "same" (the destination is local: the device is loopback), "subnet"
    // (the connected route of one of the host's subnets) or "route" (any
    // other route: through a gateway, a device or another table)
    const char *why;
};

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

// Applies the rtnetlink messages of one datagram, as nearest_update does
// with each it reads; datagram is aligned as a struct nlmsghdr. Returns a
// mask of NEAREST_DONE (a dump ended), NEAREST_INTR (a dump was interrupted)
// and NEAREST_ERROR (the kernel refused a request). For tests and fuzzing.
int nearest_feed(const void *datagram, size_t len);
#define NEAREST_DONE 1
#define NEAREST_INTR 2
#define NEAREST_ERROR 4

// 1 when the table is well-formed, else 0; for tests and fuzzing.
int nearest_valid(void);

#ifdef __cplusplus
}
#endif

#endif
