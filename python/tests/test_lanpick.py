# SPDX-License-Identifier: ISC
"""The module against the real kernel: every answer is `ip route get`'s
with the same words."""

import errno
import ipaddress
import json
import logging
import os
import selectors
import subprocess

import pytest

import lanpick

HOST = """
ip link set lo up
ip link add b0 type bridge; ip link set b0 up; ip addr add 10.0.0.5/16 dev b0
ip link add b1 type bridge; ip link set b1 up; ip addr add 10.1.0.5/16 dev b1
ip addr add 2001:db8::5/64 dev b0 nodad
ip route add default via 10.0.0.1
ip route add 10.9.0.0/16 via 10.1.0.1 table 100
ip route add default via 10.1.0.1 table 101
ip route add unreachable 10.8.0.0/16
ip rule add pref 100 to 10.9.0.0/16 lookup 100
ip rule add pref 101 fwmark 0x10 lookup 101
ip rule add pref 102 ipproto tcp dport 443 lookup 101
ip rule add pref 104 tos 0x10 lookup 101
"""


def sh(script, netns=None):
    for line in script.strip().splitlines():
        for cmd in line.split(";"):
            words = cmd.split()
            if netns:
                words[1:1] = ["-n", netns]
            subprocess.run(words, check=True, capture_output=True)


def kernel(dst, netns=None, **words):
    """`ip -j route get` with the same words: (dev, prefsrc, gateway, table),
    or the errno of its refusal."""
    dst, _, scope = dst.partition("%")
    argv = ["ip", "-j", "-d"] + (["-n", netns] if netns else []) + ["route", "get", dst]
    argv += ["oif", scope] if scope else []
    for word, value in words.items():
        # ip reads a TOS in hexadecimal.
        argv += ["from" if word == "src" else word, hex(value) if word == "tos" else str(value)]
    got = subprocess.run(argv, capture_output=True, text=True)
    if got.returncode != 0:
        text = got.stderr.split("RTNETLINK answers: ")[-1].strip()
        return next(e for e in errno.errorcode if os.strerror(e) == text)
    r = json.loads(got.stdout)[0]
    table = r.get("table", "0")
    table = {"main": 254, "local": 255}.get(table) or int(table)
    gw = r.get("gateway")
    src = ipaddress.ip_address(r.get("prefsrc") or r["from"])
    return (r["dev"], src, gw and ipaddress.ip_address(gw), table)


def ours(answer):
    if isinstance(answer, lanpick.NoAnswer):
        return type(answer), answer.errno
    return (answer.dev, answer.prefsrc, answer.gateway, answer.table)


def refused(code):
    """What nearest says where the kernel refuses with code: the kernel
    says EINVAL for a blackhole, EACCES for prohibit."""
    if code == errno.ENETUNREACH:
        return lanpick.NoRoute, code
    return lanpick.Unreachable, errno.EHOSTUNREACH


ROWS = [
    ("8.8.8.8", {}),
    ("10.0.7.7", {}),
    ("10.0.0.5", {}),
    ("10.9.1.1", {}),
    ("10.8.1.1", {}),
    ("8.8.8.8", {"mark": 0x10}),
    ("8.8.8.8", {"ipproto": "tcp", "dport": 443}),
    ("8.8.8.8", {"ipproto": "tcp", "dport": 80}),
    ("8.8.8.8", {"tos": 0x10}),
    ("8.8.8.8", {"src": "10.1.0.5"}),
    ("8.8.8.8", {"oif": "b1"}),
    ("2001:db8::9", {}),
    ("2001:db8:1::9", {}),
    ("fe80::9%b0", {}),
]


@pytest.mark.parametrize("dst,words", ROWS, ids=[f"{d} {w}" for d, w in ROWS])
def test_answers_as_the_kernel(dst, words):
    sh(HOST)
    with lanpick.Table() as t:
        try:
            got = ours(t.find(dst, **words))
        except lanpick.NoAnswer as e:
            got = ours(e)
    want = kernel(dst, **words)
    assert got == (refused(want) if isinstance(want, int) else want)


def test_a_batch_answers_as_one_at_a_time():
    sh(HOST)
    with lanpick.Table() as t:
        queries = [lanpick.Query(d, **w) for d, w in ROWS] * 50
        many = t.find_many(queries)
        assert [ours(a) for a in many] == [ours(t.find(q)) if not isinstance(a, lanpick.NoAnswer)
                                           else ours(a) for q, a in zip(queries, many)]
        assert [type(a) for a in many[:5]] == [lanpick.Answer] * 4 + [lanpick.Unreachable]


def test_a_namespace_of_its_own():
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
    sh("ip netns add other")
    sh("ip link set lo up; ip link add c0 type bridge; ip link set c0 up; "
       "ip addr add 192.0.2.5/24 dev c0; ip route add default via 192.0.2.1", netns="other")
    fd = os.open("/run/netns/other", os.O_RDONLY)
    for netns in ("other", "/run/netns/other", fd):
        with lanpick.Table(netns) as t:
            assert ours(t.find("8.8.8.8")) == kernel("8.8.8.8", netns="other")
    os.close(fd)


def test_events_are_followed_after_update():
    sh(HOST)
    with lanpick.Table() as t, selectors.DefaultSelector() as sel:
        sel.register(t, selectors.EVENT_READ)
        sh("ip route replace default via 10.1.0.1")
        assert t.find("8.8.8.8").dev == "b0"
        assert sel.select(timeout=5)
        assert t.update() is False
        assert ours(t.find("8.8.8.8")) == kernel("8.8.8.8") and t.find("8.8.8.8").dev == "b1"


@pytest.mark.parametrize("call", [
    lambda t: t.find("8.8.8.8"), lambda t: t.find_many(["8.8.8.8"]),
    lambda t: t.update(), lambda t: t.fileno(), lambda t: t.index("lo")])
def test_a_closed_table_raises(call):
    t = lanpick.Table()
    t.close()
    t.close()
    with pytest.raises(ValueError, match="closed"):
        call(t)


@pytest.mark.parametrize("dst,words,error", [
    (5, {}, TypeError), ("8.8.8.300", {}, ValueError), ("8.8.8.8", {"mark": -1}, ValueError),
    ("8.8.8.8", {"dport": 65536}, ValueError), ("8.8.8.8", {"oif": "nosuch"}, ValueError),
    ("8.8.8.8", {"ipproto": "nosuch"}, OSError), ("fe80::1", {}, lanpick.ScopeRequired)])
def test_queries_it_cannot_read(dst, words, error):
    sh(HOST)
    with lanpick.Table() as t, pytest.raises(error):
        t.find(dst, **words)


def test_reports_reach_logging_unless_asked(caplog, capfd):
    with pytest.raises(OSError) as e:
        lanpick.Table("/proc/self/ns/mnt")
    assert e.value.errno == errno.EINVAL
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("lanpick", logging.ERROR, "setns: Invalid argument")]
    assert capfd.readouterr().err == ""
    lanpick.reports("stderr")
    try:
        with pytest.raises(OSError):
            lanpick.Table("/proc/self/ns/mnt")
    finally:
        lanpick.reports("logging")
    assert capfd.readouterr().err.endswith(": error(3):  setns: Invalid argument\n")


def test_the_readme_example(capsys):
    readme = open(os.path.join(os.path.dirname(__file__), "../../README.md")).read()
    sh(HOST)
    exec(readme.split("```python\n")[1].split("```")[0], {})
    assert capsys.readouterr().out == "b1 10.1.0.5 10.1.0.1 101\n"
