// SPDX-License-Identifier: ISC
// The command-line driver: lanpick HOST names the local interface nearest
// to HOST. The driver defines the globals progname and debug (report.h).
#ifndef LANPICK_LANPICK_H
#define LANPICK_LANPICK_H

#include <netinet/in.h>

// Turns the command's argument into the target address. A text whose first
// byte is an ASCII digit is converted as a dotted address and never looked
// up; an invalid one becomes 255.255.255.255 and is used as such. Any other
// text, empty included, is looked up as a host name and the first address of
// its entry is taken. Returns false when the name service has no entry.
bool target(const char *arg, struct in_addr *addr);

#endif
