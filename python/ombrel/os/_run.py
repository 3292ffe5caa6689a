"""How a call reaches the file system: on an ombrel loop the ring operations
for the calls the engine carries, on any loop (and for every other call) the
running loop's default executor, as aiofiles does. Both give the result and
the exception the blocking os function gives."""

from __future__ import annotations

import asyncio
import functools
import os as _os
from collections.abc import Awaitable, Callable
from typing import Any, TypeVar

from .._loop import Loop

_T = TypeVar("_T")

Path = str | bytes | _os.PathLike[str] | _os.PathLike[bytes]


def ring_loop() -> Loop | None:
    """The running loop when it is ombrel's (RuntimeError without one)."""
    loop = asyncio.get_running_loop()
    return loop if type(loop) is Loop or isinstance(loop, Loop) else None


def in_executor(func: Callable[..., _T], *args: Any, **kwargs: Any) -> Awaitable[_T]:
    loop = asyncio.get_running_loop()
    return loop.run_in_executor(None, functools.partial(func, *args, **kwargs))


def ring_path(path: object) -> bytes | None:
    """The path as the kernel takes it, or None when the engine should not
    see it: a descriptor, a type os refuses, a NUL byte or an empty path
    (os answers those itself, with its own message)."""
    if isinstance(path, str):
        raw = _os.fsencode(path)
    elif isinstance(path, bytes):
        raw = path
    elif isinstance(path, _os.PathLike):
        p = _os.fspath(path)
        raw = _os.fsencode(p) if isinstance(p, str) else p
    else:
        return None
    if not raw or b"\0" in raw:
        return None
    return raw


async def on_ring(fut: Awaitable[_T], name: Any, name2: Any = None) -> _T:
    """The ring operation's outcome; its OSError gets the filenames os puts
    in it (the caller's str or bytes, a path-like's fspath)."""
    name = _os.fspath(name)
    name2 = None if name2 is None else _os.fspath(name2)
    try:
        return await fut
    except OSError as exc:
        if name2 is None:
            err = OSError(exc.errno, exc.strerror, name)
        else:
            err = OSError(exc.errno, exc.strerror, name, None, name2)
        raise err from None


def stat_result(t: tuple[int, ...]) -> _os.stat_result:
    mode, ino, dev, nlink, uid, gid, size, at, mt, ct, blksize, blocks, rdev = t
    g = 1_000_000_000
    # Floats made as os makes them (seconds + nanoseconds * 1e-9), so they
    # compare equal to its own.
    fa, fm, fc = (n // g + (n % g) * 1e-9 for n in (at, mt, ct))
    return _os.stat_result(
        (mode, ino, dev, nlink, uid, gid, size, at // g, mt // g, ct // g)
        + (fa, fm, fc, at, mt, ct, blksize, blocks, rdev)
    )


async def stat(path: Any, follow_symlinks: bool) -> _os.stat_result:
    loop = ring_loop()
    raw = ring_path(path) if loop is not None else None
    if loop is None or raw is None:
        return await in_executor(_os.stat, path, follow_symlinks=follow_symlinks)
    return stat_result(await on_ring(loop._fs_stat(raw, follow_symlinks), path))
