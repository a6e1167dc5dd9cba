// SPDX-License-Identifier: ISC
// Interface selection: which of this host's interfaces lies nearest to an
// IPv4 address, judged by the leading bits their addresses share.
#ifndef LANPICK_GETIF_H
#define LANPICK_GETIF_H

#include <net/if.h>
#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

// What this header declares is the library's interface, visible from its
// shared object; the rest of the library is hidden.
#pragma GCC visibility push(default)

// Returns the record of the interface whose IPv4 address shares the most
// leading bits with *addr, provided it shares at least 8; among equals, the
// one the kernel lists first. Down and loopback interfaces count like any
// other; only the first 10 addresses in the kernel's list are considered.
//
// The first call with an address fetches the kernel's interface list through
// socket s (any open socket) and keeps it until getif_forget, or for the life
// of the process: later calls make no kernel request, ignore s, and do not
// see later changes.
//
// Returns null when addr is null (nothing is fetched), when no interface
// shares 8 bits, or when the list cannot be had: the request failed or was
// empty, which is reported at level 3 as "ioctl SIOCGIFCONF" and leaves
// nothing kept, so the next call asks again. The record lives in static
// storage for the life of the process; read it, never change or free it.
// Not thread-safe. It reports through report.h, under the program's
// progname where the program defines it (report.h).
const struct ifreq *getif(int s, const struct in_addr *addr);

// Forgets the kept list, so that the next getif with an address asks the
// kernel again: for a program that learns the addresses have changed, such
// as from rtnetlink. Makes no request itself, and costs nothing when nothing
// is kept. Records that getif returned before stay readable, but the next
// fetch overwrites them. Not thread-safe.
void getif_forget(void);

// The IPv4 address in a record that getif returned.
struct in_addr getif_addr(const struct ifreq *r);

// The number of leading bits, 0 to 32, on which two IPv4 addresses agree;
// the measure getif chooses by, declared here for its tests.
int nmatch(const struct in_addr *a, const struct in_addr *b);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
