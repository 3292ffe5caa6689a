"""The file system from coroutines, with the names and signatures of os (and
of aiofiles.os): each function here is a coroutine function whose result and
exception are those of the os function of the same name.

On an ombrel loop stat, lstat, mkdir, remove/unlink, rmdir, rename and
replace run on the ring (no thread); the rest, and every call with an
argument the ring does not take (a descriptor, dir_fd), run on the loop's
default executor. On any other loop everything runs on that loop's default
executor, so a library may use this module whatever loop it is given.
"""

from __future__ import annotations

import asyncio
import functools
import itertools
import os as _os
from collections.abc import Callable, Coroutine, Iterator
from types import TracebackType
from typing import Any, ParamSpec, TypeVar

from . import path
from ._run import Path, in_executor, on_ring, ring_loop, ring_path
from ._run import stat

__all__ = [
    "access",
    "chmod",
    "chown",
    "link",
    "listdir",
    "lstat",
    "makedirs",
    "mkdir",
    "path",
    "readlink",
    "remove",
    "removedirs",
    "rename",
    "renames",
    "replace",
    "rmdir",
    "scandir",
    "sendfile",
    "stat",
    "statvfs",
    "symlink",
    "truncate",
    "unlink",
    "utime",
    "wrap",
]

_P = ParamSpec("_P")
_T = TypeVar("_T")


def wrap(func: Callable[_P, _T]) -> Callable[..., Coroutine[Any, Any, _T]]:
    """A coroutine function running func on the loop's executor (the running
    loop's default one unless loop= or executor= say otherwise)."""

    async def run(*args: Any, loop: Any = None, executor: Any = None, **kwargs: Any) -> _T:
        if loop is None:
            loop = asyncio.get_running_loop()
        return await loop.run_in_executor(executor, functools.partial(func, *args, **kwargs))

    run.__name__ = getattr(func, "__name__", "run")
    run.__qualname__ = getattr(func, "__qualname__", "run")
    run.__doc__ = getattr(func, "__doc__", None)
    return run


async def lstat(path: Any, *, dir_fd: int | None = None) -> _os.stat_result:
    return await stat(path, dir_fd=dir_fd, follow_symlinks=False)


async def mkdir(path: Path, mode: int = 0o777, *, dir_fd: int | None = None) -> None:
    loop = ring_loop()
    plain = dir_fd is None and type(mode) is int and 0 <= mode <= 0o7777
    raw = ring_path(path) if loop is not None and plain else None
    if loop is None or raw is None:
        return await in_executor(_os.mkdir, path, mode, dir_fd=dir_fd)
    await on_ring(loop._fs_mkdir(raw, mode), path)


async def remove(path: Path, *, dir_fd: int | None = None) -> None:
    loop = ring_loop()
    raw = ring_path(path) if loop is not None and dir_fd is None else None
    if loop is None or raw is None:
        return await in_executor(_os.remove, path, dir_fd=dir_fd)
    await on_ring(loop._fs_unlink(raw), path)


async def unlink(path: Path, *, dir_fd: int | None = None) -> None:
    await remove(path, dir_fd=dir_fd)


async def rmdir(path: Path, *, dir_fd: int | None = None) -> None:
    loop = ring_loop()
    raw = ring_path(path) if loop is not None and dir_fd is None else None
    if loop is None or raw is None:
        return await in_executor(_os.rmdir, path, dir_fd=dir_fd)
    await on_ring(loop._fs_rmdir(raw), path)


async def rename(src: Path, dst: Path, *, src_dir_fd: int | None = None, dst_dir_fd: int | None = None) -> None:
    loop = ring_loop()
    ok = loop is not None and src_dir_fd is None and dst_dir_fd is None
    raw, raw2 = (ring_path(src), ring_path(dst)) if ok else (None, None)
    # os refuses a str with a bytes path (TypeError): it answers that itself.
    if raw is not None and raw2 is not None and type(_os.fspath(src)) is not type(_os.fspath(dst)):
        raw = None
    if loop is None or raw is None or raw2 is None:
        return await in_executor(_os.rename, src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd)
    await on_ring(loop._fs_rename(raw, raw2), src, dst)


async def replace(src: Path, dst: Path, *, src_dir_fd: int | None = None, dst_dir_fd: int | None = None) -> None:
    # rename replaces an existing dst on this platform, as os.replace does.
    await rename(src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd)


async def readlink(path: Any, *, dir_fd: int | None = None) -> Any:
    return await in_executor(_os.readlink, path, dir_fd=dir_fd)


class _AsyncScandir:
    """An os.scandir iterator read on the executor in batches; usable with
    async for / async with, and (as aiofiles returns the plain iterator) with
    for / with and close()."""

    _BATCH = 256

    def __init__(self, it: Any) -> None:
        self._it = it
        self._batch: Iterator[_os.DirEntry[Any]] = iter(())

    def __aiter__(self) -> _AsyncScandir:
        return self

    async def __anext__(self) -> _os.DirEntry[Any]:
        for entry in self._batch:
            return entry
        batch = await in_executor(lambda: list(itertools.islice(self._it, self._BATCH)))
        if not batch:
            raise StopAsyncIteration
        self._batch = iter(batch)
        return next(self._batch)

    async def __aenter__(self) -> _AsyncScandir:
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.close()

    def __iter__(self) -> Iterator[_os.DirEntry[Any]]:
        yield from self._batch
        yield from self._it

    def __enter__(self) -> _AsyncScandir:
        return self

    def __exit__(self, typ: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        self._it.close()


async def scandir(path: Any = ".") -> _AsyncScandir:
    return _AsyncScandir(await in_executor(_os.scandir, path))


renames = wrap(_os.renames)
makedirs = wrap(_os.makedirs)
removedirs = wrap(_os.removedirs)
link = wrap(_os.link)
symlink = wrap(_os.symlink)
listdir = wrap(_os.listdir)
access = wrap(_os.access)
chmod = wrap(_os.chmod)
chown = wrap(_os.chown)
utime = wrap(_os.utime)
truncate = wrap(_os.truncate)
statvfs = wrap(_os.statvfs)
sendfile = wrap(_os.sendfile)
