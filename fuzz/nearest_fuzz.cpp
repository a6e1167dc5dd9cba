// SPDX-License-Identifier: ISC
// Arbitrary bytes as one rtnetlink datagram to a nearest table: nothing is
// read outside the datagram (ASan), and the table stays well-formed and
// answers without fault, one query at a time as in a batch, whatever the
// query says. The table lives on from input to input, so that deletes meet
// what earlier inputs added, and starts afresh now and then.
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

constexpr std::size_t asked = 6;

// The destinations asked after each input: IPv4, IPv6, host, link-local,
// each with what the input's first bytes say of its packet.
void ask(nearest_table *t, const std::uint8_t *data, std::size_t size)
{
    nearest_query q[asked]{};
    std::size_t n = 0;
    for (const std::uint32_t a : {0x0a000007U, 0x7f000002U, 0xa9fe0707U, 0x0a060002U}) {
        q[n].to.v4.sin_family = AF_INET;
        q[n++].to.v4.sin_addr.s_addr = htonl(a);
    }
    for (const unsigned scope : {0U, 2U}) {
        q[n].to.v6.sin6_family = AF_INET6;
        q[n].to.v6.sin6_scope_id = scope;
        q[n].to.v6.sin6_addr.s6_addr[0] = scope == 0 ? 0x20 : 0xfe;
        q[n++].to.v6.sin6_addr.s6_addr[1] = scope == 0 ? 0x01 : 0x80;
    }
    for (std::size_t i = 0; i < n; ++i) {
        // The packet's fields from the input; a from of the destination's family.
        unsigned char fields[20] = {};
        std::memcpy(fields, data, size < sizeof fields ? size : sizeof fields);
        fields[0] = static_cast<unsigned char>(fields[0] + i);
        q[i].flags = fields[0] | (fields[1] & 1U ? 0x100U : 0U); // now and then a flag it lacks
        std::memcpy(&q[i].mark, fields + 2, 4);
        std::memcpy(&q[i].uid, fields + 6, 4);
        q[i].oif = fields[10] & 7U;
        q[i].tos = fields[11];
        q[i].ipproto = fields[12];
        std::memcpy(&q[i].sport, fields + 13, 2);
        std::memcpy(&q[i].dport, fields + 15, 2);
        q[i].from = q[(i + fields[17]) % n].to;
    }
    nearest one[asked]{};
    nearest many[asked]{};
    int codes[asked];
    (void)nearest_table_find_many(t, q, n, many, codes);
    for (std::size_t i = 0; i < n; ++i)
        if (nearest_table_find(t, &q[i], &one[i]) != codes[i] || one[i].index != many[i].index ||
            std::memcmp(&one[i].addr.v6, &many[i].addr.v6, sizeof one[i].addr.v6) != 0)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static nearest_table *t;
    static unsigned inputs;
    if (++inputs % 4096 == 0 || t == nullptr) { // an empty table, of the fuzzer's empty namespace
        nearest_table_close(t);
        t = nearest_table_open(-1);
        if (t == nullptr)
            std::abort();
    }
    // A datagram arrives aligned; exactly its size, so that ASan sees past it.
    auto *datagram = static_cast<nlmsghdr *>(std::malloc(size > 0 ? size : 1));
    std::memcpy(datagram, data, size);
    (void)nearest_table_feed(t, datagram, size);
    std::free(datagram);
    if (nearest_table_valid(t) == 0)
        std::abort();
    ask(t, data, size);
    return 0;
}
