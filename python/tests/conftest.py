# SPDX-License-Identifier: ISC
"""The tests run in private user, network and mount namespaces, entered
once for the session; each test then gets a network namespace of its own.
Where they cannot be made, the tests skip and say why, or fail under
CI=true."""

import ctypes
import os

import pytest

CLONE_NEWNS, CLONE_NEWUSER, CLONE_NEWNET = 0x00020000, 0x10000000, 0x40000000
MS_REC, MS_PRIVATE = 0x4000, 1 << 18
_libc = ctypes.CDLL(None, use_errno=True)


def _unshare(flags: int) -> None:
    if _libc.unshare(flags) != 0:
        code = ctypes.get_errno()
        raise OSError(code, f"unshare: {os.strerror(code)}")


def _enter() -> str:
    """Enters the namespaces; returns why not, or "" when it did."""
    uid, gid = os.getuid(), os.getgid()
    try:
        _unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS)
        for name, text in (("uid_map", f"0 {uid} 1"), ("setgroups", "deny"),
                           ("gid_map", f"0 {gid} 1")):
            with open(f"/proc/self/{name}", "w") as f:
                f.write(text)
        # Mounts made here stay here.
        if _libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None) != 0:
            raise OSError(ctypes.get_errno(), "mount --make-rprivate /")
    except OSError as e:
        return str(e)
    return ""


_why = _enter()


@pytest.fixture(autouse=True)
def netns():
    """A fresh network namespace, the process's own for the test."""
    if _why:
        if os.environ.get("CI") == "true":
            pytest.fail(f"namespaces are needed under CI=true: {_why}")
        pytest.skip(f"no private namespaces here: {_why}")
    _unshare(CLONE_NEWNET)
    yield
