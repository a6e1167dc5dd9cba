// SPDX-License-Identifier: ISC
// nmatch against the count of leading zeros in the XOR of two addresses.
#include "getif.h"

#include <arpa/inet.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

const char *progname = "fuzz_nmatch";
int debug;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 8)
        return 0;
    in_addr a{};
    in_addr b{};
    std::memcpy(&a, data, 4);
    std::memcpy(&b, data + 4, 4);
    if (nmatch(&a, &b) != std::countl_zero(ntohl(a.s_addr) ^ ntohl(b.s_addr)))
        std::abort();
    return 0;
}
