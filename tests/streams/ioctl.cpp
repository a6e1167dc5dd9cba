// SPDX-License-Identifier: ISC
// A stand-in for SVR4's STREAMS, for tests only, since Linux has none: it
// takes the place of the C library's ioctl in a LANPICK_STREAMS build here.
// It answers I_STR as SVR4 does for the one request carried in it,
// SIOCGIFCONF: it issues that request on the socket and returns the byte
// count in ic_len. Every other request goes to the kernel unchanged.
#include <stropts.h>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (request != I_STR)
        return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));

    auto *sioc = static_cast<strioctl *>(arg);
    if (sioc->ic_cmd != SIOCGIFCONF) {
        errno = EINVAL;
        return -1;
    }
    ifconf ifc{};
    ifc.ifc_len = sioc->ic_len;
    ifc.ifc_buf = sioc->ic_dp;
    const long rc = syscall(SYS_ioctl, fd, SIOCGIFCONF, &ifc);
    if (rc >= 0)
        sioc->ic_len = ifc.ifc_len;
    return static_cast<int>(rc);
}
