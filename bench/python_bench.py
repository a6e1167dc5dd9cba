# SPDX-License-Identifier: ISC
"""python_bench.py NAME: a lookup from Python in the caller's network
namespace, three ways, over the same 4,096 routed destinations across the
IPv4 space:
lanpick's Table.find from an address text, pyroute2's
IPRoute().route('get', dst=...), and the connect trick (connect() then
getsockname() on a kept UDP socket); then Table.find_many over 10,000
destinations, once as Query objects made beforehand and once as address
texts. Prints one line: NAME, then nanoseconds a destination for each of the
five, medians of 5 rounds."""

import random
import socket
import sys
import time

import lanpick
from pyroute2 import IPRoute

DRAW = random.Random(1)  # the same destinations every run
# Not 127/8, where connect() picks another source than `ip route get`.
CANDIDATES = [socket.inet_ntoa(a.to_bytes(4, "big"))
              for a in (DRAW.randrange(1 << 24, 223 << 24) for _ in range(40_000))
              if a >> 24 != 127]
DSTS: list = []  # the first 4,096 of them that have a route


def per_call(f, n):
    """Nanoseconds a call of f over n destinations, median of 5 rounds."""
    rounds = []
    for _ in range(5):
        start = time.perf_counter_ns()
        for i in range(n):
            f(DSTS[i % len(DSTS)])
        rounds.append((time.perf_counter_ns() - start) / n)
    return sorted(rounds)[2]


def per_destination(f, n):
    rounds = []
    for _ in range(5):
        start = time.perf_counter_ns()
        f()
        rounds.append((time.perf_counter_ns() - start) / n)
    return sorted(rounds)[2]


def main():
    with lanpick.Table() as t, IPRoute() as ipr, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        def trick(dst):
            s.connect((dst, 9))
            return s.getsockname()

        for dst in CANDIDATES:
            try:
                t.find(dst)
            except lanpick.NoAnswer:
                continue
            DSTS.append(dst)
            if len(DSTS) == 4096:
                break
        for dst in DSTS[:100]:  # the three agree on the source
            three = (str(t.find(dst).prefsrc), trick(dst)[0],
                     ipr.route("get", dst=dst)[0].get_attr("RTA_PREFSRC"))
            assert len(set(three)) == 1, f"{dst}: {three}"
        ours = per_call(t.find, 100_000)
        theirs = per_call(lambda dst: ipr.route("get", dst=dst), 2_000)
        connect = per_call(trick, 20_000)
        texts = [DSTS[i % len(DSTS)] for i in range(10_000)]
        queries = [lanpick.Query(d) for d in texts]
        batch = per_destination(lambda: t.find_many(queries), len(queries))
        batch_texts = per_destination(lambda: t.find_many(texts), len(texts))
    print(sys.argv[1], f"{ours:.0f} {theirs:.0f} {connect:.0f} {batch:.0f} {batch_texts:.0f}")


main()
