// SPDX-License-Identifier: ISC
// The driver's turning of one argument into a target address. A digit-led
// text is converted numerically (a plain dotted quad to exactly its value)
// and never looked up; anything else is looked up by name, and may only give
// the one address of the private hosts file fuzz/run provides. No lookup
// leaves the machine: the run has no network and "hosts: files".
#include "lanpick.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

const char *const sentinel = "lanpick-fuzz-sentinel";
constexpr std::uint32_t hosts_addr = 0x0a010209; // 10.1.2.9, in host order

// a.b.c.d, each a decimal 0 to 255 without leading zeros.
std::optional<std::uint32_t> dotted_quad(const std::string &s)
{
    std::uint32_t value = 0;
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (i >= s.size() || s[i] != '.'))
            return std::nullopt;
        i += part > 0 ? 1 : 0;
        const std::size_t start = i;
        unsigned n = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 3)
            n = n * 10 + static_cast<unsigned>(s[i++] - '0');
        if (i == start || n > 255 || (s[start] == '0' && i - start > 1))
            return std::nullopt;
        value = value << 8 | n;
    }
    if (i != s.size())
        return std::nullopt;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    in_addr a{};
    if (!target(sentinel, &a) || ntohl(a.s_addr) != hosts_addr) {
        std::fprintf(stderr, "fuzz_target: run me through fuzz/run (private hosts file)\n");
        std::exit(2);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // An argument ends at its NUL.
    const auto *text = reinterpret_cast<const char *>(data);
    const std::string arg(text, strnlen(text, size));
    in_addr got{};
    const bool ok = target(arg.c_str(), &got);
    if (!arg.empty() && arg[0] >= '0' && arg[0] <= '9') {
        if (!ok || got.s_addr != inet_addr(arg.c_str()))
            std::abort();
        if (const auto quad = dotted_quad(arg); quad && got.s_addr != htonl(*quad))
            std::abort();
    } else if (ok && ntohl(got.s_addr) != hosts_addr) {
        std::abort();
    }
    return 0;
}
