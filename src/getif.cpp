// SPDX-License-Identifier: ISC
#include "getif.h"

#include "report.h"

#include <sys/ioctl.h>
#ifdef LANPICK_STREAMS
#include <stropts.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstring>

static constexpr int nrecords = 10;

// The kernel's interface list, one record per address, kept once fetched.
static struct ifreq ifreq[nrecords];
// ifc_len is the number of bytes of ifreq filled, 0 while nothing is kept.
static struct ifconf ifconf;

// The platform's interface-list request: fills ifreq from its start and
// leaves the number of bytes filled in ifconf.ifc_len. Negative on failure.
#ifdef LANPICK_STREAMS
static int request(int s)
{
    strioctl sioc{};
    sioc.ic_cmd = SIOCGIFCONF;
    sioc.ic_timout = 0;
    sioc.ic_len = static_cast<int>(sizeof ifreq);
    sioc.ic_dp = reinterpret_cast<char *>(ifreq);
    const int rc = ioctl(s, I_STR, &sioc);
    ifconf.ifc_len = sioc.ic_len;
    ifconf.ifc_req = ifreq;
    return rc;
}
#else
static int request(int s)
{
    ifconf.ifc_len = sizeof ifreq;
    ifconf.ifc_req = ifreq;
    return ioctl(s, SIOCGIFCONF, &ifconf);
}
#endif

// Keeps the kernel's list, or reports why there is none and keeps nothing,
// so that a later call asks again instead of walking an empty table.
static bool fetch(int s)
{
    if (request(s) >= 0 && ifconf.ifc_len > 0)
        return true;
    ifconf.ifc_len = 0;
    report(3, "ioctl SIOCGIFCONF");
    return false;
}

// The first kept record with the most leading bits in common with addr, at
// least 8. Only whole records inside the table are read, whatever length the
// request gave back.
static const struct ifreq *choose(const struct in_addr *addr)
{
    const std::size_t len = std::min(static_cast<std::size_t>(ifconf.ifc_len), sizeof ifreq);
    const std::size_t n = len / sizeof(struct ifreq);

    int best = 7;
    const struct ifreq *found = nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        const struct in_addr a = getif_addr(&ifreq[i]);
        const int count = nmatch(addr, &a);
        if (count > best) {
            best = count;
            found = &ifreq[i];
        }
    }
    return found;
}

const struct ifreq *getif(int s, const struct in_addr *addr)
{
    if (addr == nullptr)
        return nullptr;
    if (ifconf.ifc_len == 0 && !fetch(s))
        return nullptr;
    return choose(addr);
}

void getif_forget()
{
    ifconf.ifc_len = 0;
}

struct in_addr getif_addr(const struct ifreq *r)
{
    sockaddr_in sin{};
    std::memcpy(&sin, &r->ifr_addr, sizeof sin);
    return sin.sin_addr;
}

int nmatch(const struct in_addr *a, const struct in_addr *b)
{
    unsigned char x[4];
    unsigned char y[4];
    std::memcpy(x, a, sizeof x);
    std::memcpy(y, b, sizeof y);

    int count = 0;
    int i = 0;
    for (; i < 4 && x[i] == y[i]; ++i)
        count += 8;
    if (i < 4)
        for (unsigned mask = 0x80; mask != 0 && (x[i] & mask) == (y[i] & mask); mask >>= 1)
            ++count;
    return count;
}
