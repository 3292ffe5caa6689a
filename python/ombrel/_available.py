"""Whether an ombrel loop can be made here, and if not, why.

io_uring is often denied: a container's seccomp profile, the sysctl
kernel.io_uring_disabled, a kernel without io_uring (or too old for the
ring's setup flags), a spent descriptor limit. The native loop then fails
with RuntimeError "failed to initialize vorn.ev loop" whose __cause__ is the
OSError of the failed system call (its filename names the call: a filter
may let io_uring_setup through and deny io_uring_enter or
io_uring_register, which the native loop tries before it is made); this
module reads the process's state to turn that into a cause and a remedy.
Nothing here falls back to another loop: the choice is the application's.
"""

from __future__ import annotations

import dataclasses
import errno as _errno
import os
import resource
from typing import Any

from ._native import NativeLoop

__all__ = ["Availability", "UnavailableError", "available"]

# The native loop's message for a failed ring or waker setup.
_SETUP_FAILED = "failed to initialize vorn.ev loop"
_CAP_SYS_ADMIN = 21
_FALLBACK = "or use asyncio's own loop (asyncio.new_event_loop)"
# The calls a ring needs once it is set up.
_RING_CALLS = ("io_uring_enter", "io_uring_register")


@dataclasses.dataclass(frozen=True, slots=True)
class Availability:
    """The answer of `ombrel.available()`: true when a loop can be made.

    available  whether an ombrel loop can be made in this process now
    kind       None when available, else what denies io_uring:
               "seccomp" (a seccomp filter blocks io_uring_setup,
               io_uring_enter or io_uring_register),
               "sysctl" (kernel.io_uring_disabled), "kernel" (no io_uring,
               or too old for the ring's flags), "fd_limit" (no descriptor
               left, per process or system-wide), "memory", "permission"
               (denied with neither of the above seen: a security module),
               "other"
    reason     "" when available, else the cause and what to do, one line
    errno      the error number of the failed system call, None if none
    io_uring_disabled  kernel.io_uring_disabled (0, 1, 2); None when the
               kernel has no such sysctl
    io_uring_group     kernel.io_uring_group (-1: none); None when absent
    seccomp    the Seccomp mode of /proc/self/status (0 none, 1 strict,
               2 filter); None when unreadable
    cap_sys_admin  whether the process has CAP_SYS_ADMIN (which passes
               kernel.io_uring_disabled = 1); None when unreadable
    fd_limit, fd_limit_hard  RLIMIT_NOFILE's soft and hard limits
    open_fds   descriptors open in this process; None when unreadable
    kernel     the kernel release

    The facts are gathered whether or not a loop can be made. `as_dict()`
    gives them as plain values.
    """

    available: bool
    kind: str | None
    reason: str
    errno: int | None
    io_uring_disabled: int | None
    io_uring_group: int | None
    seccomp: int | None
    cap_sys_admin: bool | None
    fd_limit: int
    fd_limit_hard: int
    open_fds: int | None
    kernel: str

    def __bool__(self) -> bool:
        return self.available

    def as_dict(self) -> dict[str, Any]:
        return dataclasses.asdict(self)


class UnavailableError(RuntimeError):
    """No ombrel loop can be made here: io_uring is denied or missing.

    The message names the cause and what to do; `availability` holds the
    same as an `Availability`; __cause__ is the native loop's RuntimeError.
    """

    def __init__(self, availability: Availability) -> None:
        super().__init__(availability.reason)
        self.availability = availability

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.availability,)


def available() -> Availability:
    """Whether an ombrel loop can be made here and, if not, why.

    Returns an `Availability`, true when a loop can be made; when false, its
    `reason` says why and what to do, `kind` and `errno` say it for programs.
    Never raises for a denied io_uring.

    It creates one native loop, runs it for one tick that enters the ring
    and closes it (a ring and an eventfd, no thread started), rather than
    probing io_uring_setup apart: the real set-up is the only test that meets
    everything that can deny it (the ring's setup flags, seccomp, the sysctl,
    limits, the ring's mapping, io_uring_enter and io_uring_register, which
    the set-up tries) and cannot drift from it; the tick is a last check
    that the ring runs. With the few /proc reads it takes well under a
    millisecond.
    """
    try:
        probe = NativeLoop()
    except RuntimeError as exc:
        return _diagnose(exc)
    try:
        # A due timer makes the tick wait in the ring (for no time); a ready
        # callback would let it skip the kernel.
        probe.call_later(0, probe.stop)
        probe.run_forever()
    except RuntimeError as exc:
        return _unusable(exc, _facts())
    finally:
        probe.close()
    return _judge(None, _facts(), ok=True)


def _is_setup_failure(exc: BaseException) -> bool:
    return type(exc) is RuntimeError and exc.args == (_SETUP_FAILED,)


def _diagnose(exc: RuntimeError) -> Availability:
    cause = exc.__cause__
    err = cause.errno if isinstance(cause, OSError) else None
    if not _is_setup_failure(exc):
        return Availability(False, "other", f"cannot create an ombrel loop: {exc}; {_FALLBACK}.", err, **_facts())
    call = cause.filename if isinstance(cause, OSError) and isinstance(cause.filename, str) else None
    return _judge(err, _facts(), ok=False, call=call)


def _unusable(exc: RuntimeError, facts: dict[str, Any]) -> Availability:
    """A ring that was set up but could not be entered."""
    if facts["seccomp"] == 2:
        kind = "seccomp"
        text = (
            f"io_uring rings can be set up but not used: the loop's first tick fails ({exc}) and a "
            f"seccomp filter is on this process (Seccomp: 2 in /proc/self/status), which likely "
            f"denies io_uring_enter or io_uring_register; allow io_uring_setup, io_uring_enter and "
            f"io_uring_register in the profile, {_FALLBACK}"
        )
    else:
        kind = "other"
        text = f"io_uring rings can be set up but not used: the loop's first tick fails ({exc}), {_FALLBACK}"
    return Availability(False, kind, f"cannot create an ombrel loop: {text}.", None, **facts)


def _read_int(path: str) -> int | None:
    try:
        with open(path, "rb") as f:
            return int(f.read())
    except (OSError, ValueError):
        return None


def _facts() -> dict[str, Any]:
    status: dict[str, str] = {}
    try:
        with open("/proc/self/status", "rb") as f:
            for line in f:
                key, _, value = line.decode("ascii", "replace").partition(":")
                if key in ("Seccomp", "CapEff"):
                    status[key] = value.strip()
    except OSError:
        pass
    try:
        open_fds: int | None = len(os.listdir("/proc/self/fd"))
    except OSError:
        open_fds = None
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    seccomp = status.get("Seccomp")
    try:
        cap_sys_admin: bool | None = bool(int(status["CapEff"], 16) >> _CAP_SYS_ADMIN & 1)
    except (KeyError, ValueError):
        cap_sys_admin = None
    return {
        "io_uring_disabled": _read_int("/proc/sys/kernel/io_uring_disabled"),
        "io_uring_group": _read_int("/proc/sys/kernel/io_uring_group"),
        "seccomp": int(seccomp) if seccomp and seccomp.isdigit() else None,
        "cap_sys_admin": cap_sys_admin,
        "fd_limit": soft,
        "fd_limit_hard": hard,
        "open_fds": open_fds,
        "kernel": os.uname().release,
    }


def _may_use_restricted_io_uring(facts: dict[str, Any]) -> bool:
    """Whether kernel.io_uring_disabled = 1 lets this process in: it has
    CAP_SYS_ADMIN or belongs to kernel.io_uring_group."""
    if facts["cap_sys_admin"]:
        return True
    group = facts["io_uring_group"]
    return group is not None and group >= 0 and (group == os.getegid() or group in os.getgroups())


def _limit(n: int) -> str:
    return "unlimited" if n == resource.RLIM_INFINITY else str(n)


def _judge(err: int | None, facts: dict[str, Any], *, ok: bool, call: str | None = None) -> Availability:
    """The Availability for the errno of a failed setup (None: no call failed)
    and the process's facts; `call` is the system call that failed, when the
    native loop names it. Pure: the facts are given, not read."""
    if ok:
        return Availability(True, None, "", None, **facts)
    if call in _RING_CALLS:
        return _judge_ring_call(err, facts, call)
    name = _errno.errorcode.get(err, str(err)) if err is not None else None
    what = f"setting up io_uring fails with {name} ({os.strerror(err)})" if err is not None else ""
    kernel = facts["kernel"]
    sysctl = facts["io_uring_disabled"]
    seccomp = facts["seccomp"]
    if err == _errno.EPERM and sysctl == 2:
        kind = "sysctl"
        text = (
            f"io_uring is disabled on this host: kernel.io_uring_disabled is 2, so {what} "
            f"for every process; set it to 0 (as root: sysctl kernel.io_uring_disabled=0), {_FALLBACK}"
        )
    elif err == _errno.EPERM and sysctl == 1 and not _may_use_restricted_io_uring(facts):
        group = facts["io_uring_group"]
        if group is not None and group >= 0:
            who, join = f"in the group kernel.io_uring_group (gid {group})", "join that group"
        else:
            who, join = "in kernel.io_uring_group (none is set)", "set that group and join it"
        kind = "sysctl"
        text = (
            f"io_uring is restricted on this host: kernel.io_uring_disabled is 1, which admits only "
            f"processes with CAP_SYS_ADMIN or {who}, and this one is neither, so {what}; "
            f"{join}, set the sysctl to 0, {_FALLBACK}"
        )
    elif err in (_errno.EPERM, _errno.ENOSYS) and seccomp == 2:
        kind = "seccomp"
        text = (
            f"a seccomp filter denies io_uring to this process (Seccomp: 2 in /proc/self/status), "
            f"so {what}; container runtimes' default profiles do this: allow io_uring_setup, "
            f"io_uring_enter and io_uring_register in the profile (for instance "
            f"docker run --security-opt seccomp=PROFILE.json), {_FALLBACK}"
        )
    elif err == _errno.EPERM:
        kind = "permission"
        text = (
            f"{what} although kernel.io_uring_disabled is {sysctl if sysctl is not None else 'absent'} "
            f"and no seccomp filter is seen: a security module (SELinux, AppArmor) may deny it, "
            f"see its audit log, {_FALLBACK}"
        )
    elif err == _errno.ENOSYS:
        kind = "kernel"
        text = (
            f"this kernel ({kernel}) has no io_uring: {what}; it was built without "
            f"CONFIG_IO_URING. Use Linux 6.1 or newer with io_uring, {_FALLBACK}"
        )
    elif err == _errno.EINVAL or err is None:
        kind = "kernel"
        lacks = what if err is not None else "its io_uring lacks the single-mapping ring"
        text = (
            f"this kernel ({kernel}) is too old for the loop's ring: {lacks}; "
            f"ombrel needs Linux 6.1 or newer, {_FALLBACK}"
        )
    elif err == _errno.EMFILE:
        kind = "fd_limit"
        fds = facts["open_fds"]
        open_text = f" and {fds} are open" if fds is not None else ""
        text = (
            f"this process has no file descriptor left: {what}; RLIMIT_NOFILE is "
            f"{_limit(facts['fd_limit'])} (hard limit {_limit(facts['fd_limit_hard'])}){open_text}, and "
            f"a loop needs two (its ring and its wake-up eventfd). Raise the limit (ulimit -n, or "
            f"resource.setrlimit up to the hard limit) or close descriptors, {_FALLBACK}"
        )
    elif err == _errno.ENFILE:
        kind = "fd_limit"
        text = f"the system's file table is full: {what}; raise fs.file-max or close files elsewhere, {_FALLBACK}"
    elif err in (_errno.ENOMEM, _errno.EAGAIN):
        kind = "memory"
        memlock = resource.getrlimit(resource.RLIMIT_MEMLOCK)[0]
        text = (
            f"the kernel could not allocate the ring: {what}; on kernels before 5.12 ring memory "
            f"counts against RLIMIT_MEMLOCK (now {_limit(memlock)} bytes): raise it (ulimit -l) "
            f"or free memory, {_FALLBACK}"
        )
    else:
        kind = "other"
        text = f"{what}, {_FALLBACK}"
    return Availability(False, kind, f"cannot create an ombrel loop: {text}.", err, **facts)


def _judge_ring_call(err: int | None, facts: dict[str, Any], call: str) -> Availability:
    """A ring was set up, but `call` (io_uring_enter or io_uring_register),
    which every loop needs to run it, failed with err."""
    name = _errno.errorcode.get(err, str(err)) if err is not None else "an error"
    strerror = f" ({os.strerror(err)})" if err is not None else ""
    what = f"io_uring_setup is allowed but {call} fails with {name}{strerror}"
    if err in (_errno.EPERM, _errno.EACCES, _errno.ENOSYS) and facts["seccomp"] == 2:
        kind = "seccomp"
        text = (
            f"a seccomp filter denies {call} to this process (Seccomp: 2 in /proc/self/status): {what}, "
            f"and a loop cannot run without it; allow io_uring_setup, io_uring_enter and io_uring_register "
            f"in the profile (for instance docker run --security-opt seccomp=PROFILE.json), {_FALLBACK}"
        )
    elif err in (_errno.EPERM, _errno.EACCES):
        kind = "permission"
        text = (
            f"{what} and no seccomp filter is seen: a security module (SELinux, AppArmor) may deny it, "
            f"see its audit log, {_FALLBACK}"
        )
    else:
        kind = "other"
        text = f"{what}, {_FALLBACK}"
    return Availability(False, kind, f"cannot create an ombrel loop: {text}.", err, **facts)
