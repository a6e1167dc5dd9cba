# SPDX-License-Identifier: ISC
"""The kernel's output route decision, answered in user space.

A :class:`Table` keeps a copy of one network namespace's policy rules,
routes of every table, nexthop objects, devices and addresses, kept current
from its rtnetlink events, and answers as ``ip route get`` does, without a
request to the kernel::

    import lanpick
    with lanpick.Table() as t:
        a = t.find("8.8.8.8", mark=0x10)
        print(a.dev, a.prefsrc, a.gateway)

This module reaches liblanpick.so.1 through ctypes; ``LANPICK_LIBRARY``
names another build of it (such as ``build/liblanpick.so.1`` of a source
tree). The library's reports go to the logger ``lanpick`` (see
:func:`reports`).
"""

from __future__ import annotations

import ctypes
import errno
import ipaddress
import logging
import os
import socket
import struct
import threading
from typing import Iterable, NamedTuple, Optional, Union

__all__ = [
    "Answer",
    "InvalidQuery",
    "NoAnswer",
    "NoRoute",
    "Query",
    "ScopeRequired",
    "Table",
    "Unreachable",
    "reports",
]

Address = Union[ipaddress.IPv4Address, ipaddress.IPv6Address]
Host = Union[str, Address]

_LIBRARY = os.environ.get("LANPICK_LIBRARY") or "liblanpick.so.1"
# Calls that take long (opening a table, applying its events, a batch)
# release the GIL; a single lookup, far shorter than a switch of the GIL,
# keeps it.
_released = ctypes.CDLL(_LIBRARY, use_errno=True)
_held = ctypes.PyDLL(_LIBRARY)

# struct nearest_query and struct nearest, as <lanpick/nearest.h> lays them
# out on Linux: packed and unpacked with struct, which costs less than a
# ctypes record field by field. A query is 84 bytes: size, flags, to and
# from (28 bytes each, the size of union nearest_address), oif, mark, uid,
# tos, ipproto, sport, dport, and two bytes of padding.
_QUERY = struct.Struct("=II28s28sIIIBBHH2x")
_ANSWER = struct.Struct("=I16sIi16si16siIQ")
_FROM, _OIF, _MARK, _UID, _TOS, _IPPROTO, _SPORT, _DPORT = (1 << i for i in range(8))
_FOUND, _NONE, _UNREACHABLE, _SCOPE, _INVALID = range(5)
_V4 = struct.pack("=H2x", socket.AF_INET)
_V4_TAIL = bytes(20)
_V6 = struct.pack("=H2x4x", socket.AF_INET6)
_NO_ADDRESS = bytes(28)
# A query with a destination alone: its head, its destination's sockaddr,
# and the rest, zeros.
_HEAD = struct.pack("=II", _QUERY.size, 0)
_REST = bytes(_QUERY.size - 8 - 28)


def _declare(lib: ctypes.CDLL, name: str, result, *args) -> None:
    f = getattr(lib, name)
    f.restype = result
    f.argtypes = list(args)


_pointer = ctypes.c_void_p
for _lib in (_released, _held):
    _declare(_lib, "nearest_table_open", _pointer, ctypes.c_int)
    _declare(_lib, "nearest_table_close", None, _pointer)
    _declare(_lib, "nearest_table_update", ctypes.c_int, _pointer)
    _declare(_lib, "nearest_table_fd", ctypes.c_int, _pointer)
    _declare(_lib, "nearest_table_index", ctypes.c_uint, _pointer, ctypes.c_char_p)
    # The queries are passed as the bytes that hold them, read in place.
    _declare(_lib, "nearest_table_find", ctypes.c_int, _pointer, ctypes.c_char_p, _pointer)
    _declare(_lib, "nearest_table_find_many", ctypes.c_size_t, _pointer, ctypes.c_char_p,
             ctypes.c_size_t, _pointer, _pointer)


# --- Answers and the reasons for none


class Answer(NamedTuple):
    """Where the kernel would send a packet from, named as ``ip -j route
    get`` names it: ``dev`` and ``oif`` (its index), ``prefsrc`` (the source
    address, held on the host with ``prefixlen``), ``gateway`` (None when the
    destination is on-link), ``table`` (a number, 254 for main), and ``why``:
    "same" (a local destination), "subnet" (one of the host's subnets) or
    "route"."""

    dev: str
    oif: int
    prefsrc: Address
    prefixlen: int
    gateway: Optional[Address]
    table: int
    why: str


class NoAnswer(OSError):
    """No answer for a destination: raised by :meth:`Table.find`, and in the
    place of its answer in the list :meth:`Table.find_many` returns. An
    OSError with the errno that connect() on a UDP socket gives in its
    place, the destination in ``dst``, and the library's word in
    ``reason``."""

    reason = ""
    code = 0

    def __init__(self, dst: object):
        super().__init__(self.code, f"{os.strerror(self.code)}: {dst}")
        self.dst = dst


class NoRoute(NoAnswer):
    """No route, or no address of this host to send from ("none")."""

    reason, code = "none", errno.ENETUNREACH


class Unreachable(NoAnswer):
    """A blackhole, unreachable or prohibit route or rule ("unreachable")."""

    reason, code = "unreachable", errno.EHOSTUNREACH


class ScopeRequired(NoAnswer):
    """A link-local IPv6 destination without a scope ("scope")."""

    reason, code = "scope", errno.EINVAL


class InvalidQuery(NoAnswer):
    """A query the library cannot read ("invalid"): one older than this
    module refuses the words it does not know."""

    reason, code = "invalid", errno.EINVAL


_REASONS = {_NONE: NoRoute, _UNREACHABLE: Unreachable, _SCOPE: ScopeRequired,
            _INVALID: InvalidQuery}

# The few addresses and words that answers hold, made once: the host's
# own addresses, its gateways, and the library's static words.
_known: dict = {}


def _address(family: int, raw: bytes) -> Address:
    key = (family, raw)
    a = _known.get(key)
    if a is None:
        if len(_known) > 4096:
            _known.clear()
        a = _known[key] = (ipaddress.IPv4Address(raw[:4]) if family == socket.AF_INET
                           else ipaddress.IPv6Address(raw))
    return a


def _word(pointer: int) -> str:
    w = _known.get(pointer)
    if w is None:
        w = _known[pointer] = ctypes.string_at(pointer).decode()
    return w


def _decode(raw: bytes) -> Answer:
    (_, name, index, family, addr, prefixlen, gateway, gateway_family, table,
     why) = _ANSWER.unpack(raw)
    return Answer(name.rstrip(b"\0").decode(), index, _address(family, addr), prefixlen,
                  _address(gateway_family, gateway) if gateway_family else None, table,
                  _word(why))


# Many destinations share one answer (a device, source, gateway and table):
# each is made once, by the record's bytes.
_answers: dict = {}


def _answer(raw: bytes) -> Answer:
    a = _answers.get(raw)
    if a is None:
        if len(_answers) > 4096:
            _answers.clear()
        a = _answers[raw] = _decode(raw)
    return a


def _buffer(n: int):
    """Room for n answers, the first saying how long each is."""
    b = ctypes.create_string_buffer(_ANSWER.size * n)
    struct.pack_into("=I", b, 0, _ANSWER.size)
    return b


# --- Queries


def _sockaddr(host: Host, scope) -> bytes:
    """The sockaddr of an address text or object, as 28 bytes; scope turns
    a device's name into its index."""
    if isinstance(host, str):
        if "%" not in host:
            try:
                return _V4 + socket.inet_pton(socket.AF_INET, host) + _V4_TAIL
            except OSError:
                pass
            try:
                return _V6 + socket.inet_pton(socket.AF_INET6, host) + bytes(4)
            except OSError:
                raise ValueError(f"{host!r} is no IPv4 or IPv6 address") from None
        host = ipaddress.ip_address(host)
    elif not isinstance(host, (ipaddress.IPv4Address, ipaddress.IPv6Address)):
        raise TypeError(f"an address text or an ipaddress address, not {type(host).__name__}")
    if host.version == 4:
        return _V4 + host.packed + _V4_TAIL
    index = scope(host.scope_id) if host.scope_id else 0
    return _V6 + host.packed + struct.pack("=I", index)


def _number(word: str, value: int, top: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value <= top:
        raise ValueError(f"{word} must be a whole number from 0 to {top}, not {value!r}")
    return value


class Query:
    """A packet this host would send: its destination and, as keywords, the
    words ``ip route get`` takes. ``src`` is the ``from`` word (Python keeps
    ``from`` for itself; pyroute2 calls it ``src`` too). ``oif``, and the
    scope of an IPv6 destination (``"fe80::1%eth0"``), take a device's name
    or index; ``ipproto`` a number or a name such as "tcp". A device's name
    is looked up in the namespace of the table the query is first put to."""

    __slots__ = ("dst", "src", "oif", "_words", "_raw", "_table")

    def __init__(self, dst: Host, *, src: Optional[Host] = None,
                 oif: Union[None, int, str] = None, mark: Optional[int] = None,
                 uid: Optional[int] = None, tos: Optional[int] = None,
                 ipproto: Union[None, int, str] = None, sport: Optional[int] = None,
                 dport: Optional[int] = None):
        if not isinstance(dst, (str, ipaddress.IPv4Address, ipaddress.IPv6Address)):
            raise TypeError(f"an address text or an ipaddress address, not {type(dst).__name__}")
        self.dst, self.src, self.oif = dst, src, oif
        if isinstance(ipproto, str):
            ipproto = socket.getprotobyname(ipproto)
        self._words = {w: _number(w, v, top) for w, v, top in (
            ("mark", mark, 0xFFFFFFFF), ("uid", uid, 0xFFFFFFFF), ("tos", tos, 255),
            ("ipproto", ipproto, 255), ("sport", sport, 65535), ("dport", dport, 65535))
            if v is not None}
        self._raw = b""
        self._table = None

    def _encode(self, table: "Table") -> bytes:
        """The query's record, made for the first table it is put to."""
        if self._table is table:
            return self._raw
        scope = table._device
        flags, values = 0, dict.fromkeys(("oif", "mark", "uid", "tos", "ipproto", "sport",
                                          "dport"), 0)
        src = _NO_ADDRESS
        if self.src is not None:
            flags |= _FROM
            src = _sockaddr(self.src, scope)
        if self.oif is not None:
            flags |= _OIF
            values["oif"] = scope(self.oif)
        flag = dict(mark=_MARK, uid=_UID, tos=_TOS, ipproto=_IPPROTO, sport=_SPORT, dport=_DPORT)
        for word, value in self._words.items():
            flags |= flag[word]
            values[word] = value
        self._raw = _QUERY.pack(_QUERY.size, flags, _sockaddr(self.dst, scope), src,
                                *values.values())
        self._table = table
        return self._raw


# --- Tables


class Table:
    """The kernel's route decision for one network namespace: the caller's
    own, or ``netns``, a name under /run/netns (as ``ip -n`` takes), a path
    such as /proc/PID/ns/net, or an open descriptor of one (which needs
    CAP_SYS_ADMIN over it). Opening dumps the namespace's state once; an
    open that fails raises OSError with the errno. Use it as a context
    manager, or close it; a call after close raises ValueError.

    Any number of threads may look up while one applies the events with
    :meth:`update`. For an event loop, a table is a file: poll
    :meth:`fileno` for reading, then call :meth:`update`."""

    def __init__(self, netns: Union[None, int, str, os.PathLike] = None):
        # A single lookup keeps the GIL and holds _lock; the calls that
        # release the GIL count themselves in _users. close() waits for both.
        self._lock = threading.Lock()
        self._guard = threading.Condition(threading.Lock())
        self._users = 0
        self._updating = threading.Lock()
        self._answer = _buffer(1)  # under _lock
        self._t = None
        if netns is None or isinstance(netns, int):
            self._t = self._open(-1 if netns is None else netns)
            return
        path = os.fspath(netns)
        if "/" not in path:
            path = os.path.join("/run/netns", path)
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            self._t = self._open(fd)
        finally:
            os.close(fd)

    @staticmethod
    def _open(fd: int) -> int:
        t = _released.nearest_table_open(fd)
        if not t:
            code = ctypes.get_errno() or errno.EIO
            raise OSError(code, f"nearest_table_open: {os.strerror(code)}")
        return t

    def __enter__(self) -> "Table":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_t", None):
            self.close()

    def close(self) -> None:
        """Gives the table back, once the calls under way in other threads
        have returned. A second close does nothing."""
        with self._lock, self._guard:
            t, self._t = self._t, None
            while self._users:
                self._guard.wait()
        if t:
            _released.nearest_table_close(t)

    @property
    def closed(self) -> bool:
        return self._t is None

    def _closed(self) -> ValueError:
        return ValueError("the table is closed")

    def _enter(self) -> int:
        with self._guard:
            if self._t is None:
                raise self._closed()
            self._users += 1
            return self._t

    def _leave(self) -> None:
        with self._guard:
            self._users -= 1
            if self._users == 0:
                self._guard.notify_all()

    def fileno(self) -> int:
        """The table's rtnetlink socket: readable when events are queued."""
        with self._lock:
            if self._t is None:
                raise self._closed()
            return _held.nearest_table_fd(self._t)

    def update(self) -> bool:
        """Applies the queued events, without waiting, with the GIL
        released. True when some were lost and the table was read anew. One
        thread at a time: others wait here. Raises OSError when the socket
        failed."""
        with self._updating:
            t = self._enter()
            try:
                got = _released.nearest_table_update(t)
            finally:
                self._leave()
        if got < 0:
            code = ctypes.get_errno() or errno.EIO
            raise OSError(code, f"nearest_table_update: {os.strerror(code)}")
        return got == 1

    def index(self, name: str) -> int:
        """The index of the device called name in the table's namespace, or
        0."""
        with self._lock:
            if self._t is None:
                raise self._closed()
            return _held.nearest_table_index(self._t, name.encode())

    def _device(self, name: Union[int, str]) -> int:
        if isinstance(name, int) and not isinstance(name, bool):
            return _number("a device index", name, 0xFFFFFFFF)
        if isinstance(name, str) and name.isdigit():
            return int(name)
        index = self.index(name)
        if index == 0:
            raise ValueError(f"no device {name!r} in the table's namespace")
        return index

    def _record(self, dst: Union[Host, Query], words: dict) -> bytes:
        if words or isinstance(dst, Query):
            return (dst if isinstance(dst, Query) else Query(dst, **words))._encode(self)
        return _HEAD + _sockaddr(dst, self._device) + _REST

    def find(self, dst: Union[Host, Query], **words) -> Answer:
        """The kernel's answer for a packet to dst (an address text, an
        ipaddress address, or a Query), with the words of :class:`Query`
        (``src``, ``oif``, ``mark``, ``uid``, ``tos``, ``ipproto``,
        ``sport``, ``dport``). Raises a :class:`NoAnswer` when there is
        none. Keeps the GIL: a lookup takes less time than handing it over."""
        record = self._record(dst, words)
        with self._lock:
            if self._t is None:
                raise self._closed()
            code = _held.nearest_table_find(self._t, record, self._answer)
            raw = self._answer.raw
        if code != _FOUND:
            raise _REASONS.get(code, InvalidQuery)(dst.dst if isinstance(dst, Query) else dst)
        return _answer(raw)

    def find_many(self, queries: Iterable[Union[Host, Query]], **words
                  ) -> list[Union[Answer, NoAnswer]]:
        """Answers many at once, their lookups interleaved in memory and
        run with the GIL released: for each query (a Query, or a
        destination with these words), its Answer, or in its place the
        NoAnswer that find would raise."""
        qs = list(queries)
        n = len(qs)
        if n == 0:
            return []
        records = b"".join([self._record(q, words) for q in qs])
        answers = _buffer(n)
        reasons = (ctypes.c_int * n)()
        t = self._enter()
        try:
            _released.nearest_table_find_many(t, records, n, answers, reasons)
        finally:
            self._leave()
        raw, size = answers.raw, _ANSWER.size
        return [_answer(raw[i * size:(i + 1) * size]) if code == _FOUND
                else _REASONS.get(code, InvalidQuery)(q.dst if isinstance(q, Query) else q)
                for i, (q, code) in enumerate(zip(qs, reasons))]


# --- Reports


_logger = logging.getLogger("lanpick")
_LEVELS = (logging.CRITICAL, logging.CRITICAL, logging.CRITICAL, logging.ERROR,
           logging.WARNING, logging.INFO, logging.INFO, logging.DEBUG, logging.CRITICAL)
_SINK = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)


@_SINK
def _to_logging(level: int, message: bytes, _arg: object) -> None:
    try:
        _logger.log(_LEVELS[level] if 0 <= level < len(_LEVELS) else logging.CRITICAL,
                    "%s", message.decode(errors="replace"))
    except Exception:  # an exception may not cross into C
        pass


def reports(to: str = "logging") -> None:
    """Where the library's reports go: "logging" (the logger ``lanpick``,
    from import on), "stderr" (the library's own lines on standard error,
    named after the program), or "syslog" (the system log)."""
    report_to = _released.report_to
    report_to.restype, report_to.argtypes = None, [_SINK, ctypes.c_void_p]
    if to == "logging":
        report_to(_to_logging, None)
        return
    if to not in ("stderr", "syslog"):
        raise ValueError(f'reports go to "logging", "stderr" or "syslog", not {to!r}')
    _released.report_init(1 if to == "stderr" else 0)
    report_to(_SINK(), None)


reports("logging")
