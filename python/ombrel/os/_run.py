"""How a call reaches the file system: on an ombrel loop the ring operations
for the calls the engine carries, on any loop (and for every other call) the
running loop's default executor, as aiofiles does. Both give the result and
the exception the blocking os function gives."""

from __future__ import annotations

import asyncio
import functools
import os as _os
import sys
from collections.abc import Awaitable, Callable
from typing import Any, TypeVar

from .._loop import Loop

_T = TypeVar("_T")
_FS_ENCODING = sys.getfilesystemencoding()
_FS_ERRORS = sys.getfilesystemencodeerrors()

Path = str | bytes | _os.PathLike[str] | _os.PathLike[bytes]


def ring_loop() -> Loop | None:
    """The running loop when it is ombrel's (RuntimeError without one)."""
    loop = asyncio.get_running_loop()
    return loop if isinstance(loop, Loop) else None


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


async def stat(path: Any, *, dir_fd: int | None = None, follow_symlinks: bool = True) -> _os.stat_result:
    """os.stat; the ring takes it on ombrel's loop unless dir_fd is given or
    path is a descriptor."""
    # The hot call: a str path goes to the ring with no helper in between.
    loop = asyncio.get_running_loop()
    if dir_fd is None and isinstance(loop, Loop):
        if type(path) is str:
            raw = path.encode(_FS_ENCODING, _FS_ERRORS) if path and "\0" not in path else None
        else:
            raw = ring_path(path)
        if raw is not None:
            try:
                result: _os.stat_result = await loop._fs_stat(raw, follow_symlinks)
            except OSError as exc:
                raise OSError(exc.errno, exc.strerror, _os.fspath(path)) from None
            return result
    return await in_executor(_os.stat, path, dir_fd=dir_fd, follow_symlinks=follow_symlinks)
