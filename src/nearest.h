// SPDX-License-Identifier: ISC
// The nearest address: which of this host's addresses, IPv4 or IPv6, faces a
// destination, judged as a network stack judges it (the same address, then
// the longest subnet that holds it, then the most leading bits in common),
// over every address the host has, kept current from rtnetlink events.
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
    } addr;          // the local address chosen
    int prefixlen;   // its prefix length
    const char *why; // "same", "subnet" or "prefix"
};

// Opens one rtnetlink socket, subscribed to link, IPv4 address and IPv6
// address events, and fills the table from a first dump of the links and of
// the addresses. Returns the socket, non-blocking, for the caller to poll for
// readability and then call nearest_update; or -1 after a report at level 3.
// A second call drops the first socket and its table. Not thread-safe.
int nearest_open(void);

// Applies the events queued on the socket, without waiting. Each event
// changes the table in place; when some were lost (the queue overflowed), or
// a dump was interrupted, the table is read anew with one dump. Returns 0,
// 1 when events were lost and the table was read anew, or -1 after a report
// at level 3 when the socket failed.
// Allocates only while the table grows past its largest size so far.
int nearest_update(void);

// The local address nearest to the destination to, a sockaddr_in or a
// sockaddr_in6 (an IPv4-mapped IPv6 address is taken as the IPv4 address;
// an IPv6 link-local one needs its sin6_scope_id). Returns a record in
// static storage, valid until the next call of this module, or null. *why,
// unless why is null, receives the record's why, or when there is no answer
// "none" (no candidate, or to is of another family) or "scope" (a link-local
// destination without a scope id). Makes no system call and allocates
// nothing. Not thread-safe.
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
