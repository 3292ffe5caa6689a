"""The file system from coroutines, with the names and signatures of os (and
of aiofiles.os): each function here is a coroutine function whose result and
exception are those of the os function of the same name.

On an ombrel loop stat, lstat, mkdir, remove/unlink, rmdir, rename,
replace, symlink, link, readlink, access, chmod, chown, utime (given
times), listdir and scandir run in the engine (on the ring or its own
thread pool); the rest, and every call with an argument the engine does not
take (a descriptor, dir_fd, effective_ids), run on the loop's default
executor. On any other loop everything runs on that loop's default
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
from ._dir import EngineScandir
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


def _same_kind(a: Path, b: Path) -> bool:
    """Whether both paths are str or both bytes (os refuses a mix with its
    own TypeError: the executor gives it)."""
    return type(_os.fspath(a)) is type(_os.fspath(b))


async def symlink(src: Path, dst: Path, target_is_directory: bool = False, *, dir_fd: int | None = None) -> None:
    loop = ring_loop()
    raw, raw2 = (ring_path(src), ring_path(dst)) if loop is not None and dir_fd is None else (None, None)
    if loop is None or raw is None or raw2 is None or not _same_kind(src, dst):
        return await in_executor(_os.symlink, src, dst, target_is_directory, dir_fd=dir_fd)
    await on_ring(loop._fs_symlink(raw, raw2), src, dst)


async def link(
    src: Path,
    dst: Path,
    *,
    src_dir_fd: int | None = None,
    dst_dir_fd: int | None = None,
    follow_symlinks: bool = True,
) -> None:
    loop = ring_loop()
    ok = loop is not None and src_dir_fd is None and dst_dir_fd is None and type(follow_symlinks) is bool
    raw, raw2 = (ring_path(src), ring_path(dst)) if ok else (None, None)
    if loop is None or raw is None or raw2 is None or not _same_kind(src, dst):
        return await in_executor(
            _os.link, src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd, follow_symlinks=follow_symlinks
        )
    await on_ring(loop._fs_link(raw, raw2, follow_symlinks), src, dst)


async def readlink(path: Any, *, dir_fd: int | None = None) -> Any:
    loop = ring_loop()
    raw = ring_path(path) if loop is not None and dir_fd is None else None
    if loop is None or raw is None:
        return await in_executor(_os.readlink, path, dir_fd=dir_fd)
    text: bytes = await on_ring(loop._fs_readlink(raw), path)
    # os answers in the kind of path it was given.
    return text if isinstance(_os.fspath(path), bytes) else _os.fsdecode(text)


async def access(
    path: Path, mode: int, *, dir_fd: int | None = None, effective_ids: bool = False, follow_symlinks: bool = True
) -> bool:
    loop = ring_loop()
    plain = dir_fd is None and not effective_ids and type(mode) is int and 0 <= mode <= 7
    raw = ring_path(path) if loop is not None and plain and type(follow_symlinks) is bool else None
    if loop is None or raw is None:
        return await in_executor(
            _os.access, path, mode, dir_fd=dir_fd, effective_ids=effective_ids, follow_symlinks=follow_symlinks
        )
    # os.access answers False for every failure.
    try:
        await loop._fs_access(raw, mode, follow_symlinks)
    except OSError:
        return False
    return True


async def chmod(path: Path, mode: int, *, dir_fd: int | None = None, follow_symlinks: bool = True) -> None:
    loop = ring_loop()
    # Without following links os takes another route (lchmod): the executor.
    plain = dir_fd is None and follow_symlinks is True and type(mode) is int and 0 <= mode <= 0o7777
    raw = ring_path(path) if loop is not None and plain else None
    if loop is None or raw is None:
        return await in_executor(_os.chmod, path, mode, dir_fd=dir_fd, follow_symlinks=follow_symlinks)
    await on_ring(loop._fs_chmod(raw, mode, True), path)


def _id(value: object) -> bool:
    return type(value) is int and -1 <= value < 2**32 - 1


async def chown(path: Path, uid: int, gid: int, *, dir_fd: int | None = None, follow_symlinks: bool = True) -> None:
    loop = ring_loop()
    plain = dir_fd is None and _id(uid) and _id(gid) and type(follow_symlinks) is bool
    raw = ring_path(path) if loop is not None and plain else None
    if loop is None or raw is None:
        return await in_executor(_os.chown, path, uid, gid, dir_fd=dir_fd, follow_symlinks=follow_symlinks)
    await on_ring(loop._fs_chown(raw, uid, gid, follow_symlinks), path)


def _ns_pair(times: Any, ns: Any) -> tuple[int, int] | None:
    """Both times in nanoseconds when the engine can set them as os would:
    ns=(int, int) or times=(int, int) seconds. Float seconds (os rounds them
    its own way) and "now" (no times: the kernel's clock and its looser
    permission rule) stay with os."""
    if times is None and type(ns) is tuple and len(ns) == 2:
        pair = ns
    elif ns is None and type(times) is tuple and len(times) == 2:
        if not all(type(v) is int for v in times):
            return None
        pair = (times[0] * 10**9, times[1] * 10**9)
    else:
        return None
    if all(type(v) is int and -(2**63) <= v < 2**63 for v in pair):
        return pair[0], pair[1]
    return None


async def utime(
    path: Path,
    times: Any = None,
    *,
    ns: Any = None,
    dir_fd: int | None = None,
    follow_symlinks: bool = True,
) -> None:
    loop = ring_loop()
    pair = _ns_pair(times, ns) if loop is not None and dir_fd is None and type(follow_symlinks) is bool else None
    raw = ring_path(path) if pair is not None else None
    if loop is None or pair is None or raw is None:
        kw: dict[str, Any] = {} if ns is None else {"ns": ns}
        return await in_executor(_os.utime, path, times, dir_fd=dir_fd, follow_symlinks=follow_symlinks, **kw)
    await on_ring(loop._fs_utime(raw, pair[0], pair[1], follow_symlinks), path)


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


async def _opendir(loop: Any, raw: bytes, path: Any) -> EngineScandir:
    fut = loop._fs_opendir(raw)
    try:
        fd: int = await on_ring(fut, path)
    except asyncio.CancelledError:
        # Cancelled after the open had completed: the descriptor is ours
        # still, and nobody else will close it.
        if fut.done() and not fut.cancelled() and fut.exception() is None:
            _os.close(fut.result())
        raise
    return EngineScandir(loop, fd, _os.fspath(path))


async def scandir(path: Any = ".") -> _AsyncScandir | EngineScandir:
    loop = ring_loop()
    raw = ring_path(path) if loop is not None else None
    if loop is None or raw is None:
        return _AsyncScandir(await in_executor(_os.scandir, path))
    return await _opendir(loop, raw, path)


async def listdir(path: Any = ".") -> list[Any]:
    loop = ring_loop()
    raw = ring_path(path) if loop is not None else None
    if loop is None or raw is None:
        return await in_executor(_os.listdir, path)
    it = await _opendir(loop, raw, path)
    names: list[Any] = []
    try:
        while (batch := await it.read_batch(names_only=True)) is not None:
            names.extend(batch)
    finally:
        await it.aclose()
    return names


renames = wrap(_os.renames)
makedirs = wrap(_os.makedirs)
removedirs = wrap(_os.removedirs)
truncate = wrap(_os.truncate)
statvfs = wrap(_os.statvfs)
sendfile = wrap(_os.sendfile)
