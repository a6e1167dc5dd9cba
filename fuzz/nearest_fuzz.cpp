// SPDX-License-Identifier: ISC
// Arbitrary bytes as one rtnetlink datagram to the nearest table: nothing is
// read outside the datagram (ASan), and the table stays well-formed and
// answers without fault. The table lives on from input to input, so that
// deletes meet what earlier inputs added, and starts afresh now and then.
#include "nearest.h"

#include <linux/netlink.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

const char *progname = "fuzz_nearest";
int debug;

namespace {

// The destinations asked after each input: IPv4, IPv6, host, link-local.
void ask()
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    for (const std::uint32_t a : {0x0a000007U, 0x7f000002U, 0xa9fe0707U, 0x0a060002U}) {
        sin.sin_addr.s_addr = htonl(a);
        (void)nearest_find(reinterpret_cast<const sockaddr *>(&sin), nullptr);
    }
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    for (const unsigned scope : {0U, 2U}) {
        sin6.sin6_scope_id = scope;
        sin6.sin6_addr.s6_addr[0] = scope == 0 ? 0x20 : 0xfe;
        sin6.sin6_addr.s6_addr[1] = scope == 0 ? 0x01 : 0x80;
        (void)nearest_find(reinterpret_cast<const sockaddr *>(&sin6), nullptr);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static unsigned inputs;
    if (++inputs % 4096 == 0)
        (void)nearest_open(); // an empty table, from the fuzzer's empty namespace
    // A datagram arrives aligned; exactly its size, so that ASan sees past it.
    auto *datagram = static_cast<nlmsghdr *>(std::malloc(size > 0 ? size : 1));
    std::memcpy(datagram, data, size);
    (void)nearest_feed(datagram, size);
    std::free(datagram);
    if (nearest_valid() == 0)
        std::abort();
    ask();
    return 0;
}
