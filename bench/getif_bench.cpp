// SPDX-License-Identifier: ISC
// Calls getif N times (default 1,000,000) on one socket and prints the time
// per call. The first call fetches the kernel's list; the others choose from
// the kept list and make no system call, which bench/run checks with strace
// by comparing a run of 1 call with a run of N.
#include "getif.h"
#include "report.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

const char *progname = "getif_bench";
int debug;

// cppcheck-suppress constParameter
int main(int argc, char *argv[])
{
    const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000000;
    const char *const texts[] = {"127.0.0.1", "10.0.9.7", "10.0.1.1", "192.0.2.1"};
    in_addr targets[4]{};
    for (int i = 0; i < 4; ++i)
        inet_pton(AF_INET, texts[i], &targets[i]);

    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    long found = getif(s, &targets[0]) != nullptr ? 1 : 0;
    // steady_clock reads the vDSO: no system call.
    const auto start = std::chrono::steady_clock::now();
    for (long i = 1; i < n; ++i)
        found += getif(s, &targets[i & 3]) != nullptr ? 1 : 0;
    const std::chrono::duration<double, std::nano> elapsed =
        std::chrono::steady_clock::now() - start;
    std::printf("%ld calls, %.1f ns per call after the first, %ld found\n", n,
                n > 1 ? elapsed.count() / static_cast<double>(n - 1) : 0.0, found);
    return 0;
}
