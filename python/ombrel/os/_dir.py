"""Directory reads done by the engine: the descriptor comes from the ring,
the entries in batches from the engine's thread pool, with the type the
kernel gave each, so DirEntry's type queries need no stat when it gave one.
"""

from __future__ import annotations

import asyncio
import os as _os
import stat as _st
from collections.abc import Iterator
from types import TracebackType
from typing import Any

# Entry types as getdents64 reports them (DT_UNKNOWN: ask the inode).
_DT_UNKNOWN, _DT_DIR, _DT_REG, _DT_LNK = 0, 4, 8, 10


class DirEntry:
    """What os.DirEntry gives, for an entry read by the engine: name, path,
    inode(), the is_* queries (from the entry's type when the kernel gave
    one, else from a stat, as os does) and a cached stat()."""

    __slots__ = ("_dtype", "_ino", "_lstat", "_stat", "name", "path")

    def __init__(self, directory: Any, name: Any, dtype: int, ino: int) -> None:
        self.name = name
        self.path = _os.path.join(directory, name)
        self._dtype = dtype
        self._ino = ino
        self._stat: _os.stat_result | None = None
        self._lstat: _os.stat_result | None = None

    def __fspath__(self) -> Any:
        return self.path

    def __repr__(self) -> str:
        return f"<DirEntry {self.name!r}>"

    def inode(self) -> int:
        return self._ino

    def is_junction(self) -> bool:
        return False

    def stat(self, *, follow_symlinks: bool = True) -> _os.stat_result:
        if not follow_symlinks:
            if self._lstat is None:
                self._lstat = _os.lstat(self.path)
            return self._lstat
        if self._stat is None:
            self._stat = _os.stat(self.path) if self.is_symlink() else self.stat(follow_symlinks=False)
        return self._stat

    def is_symlink(self) -> bool:
        if self._dtype != _DT_UNKNOWN:
            return self._dtype == _DT_LNK
        return self._test(_st.S_ISLNK, False)

    def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        return self._is(_DT_DIR, _st.S_ISDIR, follow_symlinks)

    def is_file(self, *, follow_symlinks: bool = True) -> bool:
        return self._is(_DT_REG, _st.S_ISREG, follow_symlinks)

    def _is(self, dtype: int, test: Any, follow: bool) -> bool:
        if self._dtype == _DT_UNKNOWN or (follow and self._dtype == _DT_LNK):
            return self._test(test, follow)
        return self._dtype == dtype

    def _test(self, test: Any, follow: bool) -> bool:
        # As os.DirEntry: a name gone meanwhile is no directory, no file;
        # other errors reach the caller.
        try:
            return bool(test(self.stat(follow_symlinks=follow).st_mode))
        except FileNotFoundError:
            return False


def _kind(entry: _os.DirEntry[Any]) -> int:
    """The type os.scandir read for an entry, as getdents64 numbers it."""
    if entry.is_symlink():
        return _DT_LNK
    if entry.is_dir(follow_symlinks=False):
        return _DT_DIR
    return _DT_REG if entry.is_file(follow_symlinks=False) else _DT_UNKNOWN


class EngineScandir:
    """An open directory read by the engine; usable with async for / async
    with, and (as os.scandir's iterator) with for / with and close(). Owns
    its descriptor: closed once, by aclose(), close() or when dropped."""

    def __init__(self, loop: Any, fd: int, directory: Any) -> None:
        self._loop = loop
        self._fd = fd
        self._dir = directory
        self._bytes = isinstance(directory, bytes)
        self._batch: Iterator[DirEntry] = iter(())
        self._seen: set[Any] = set()  # names handed out, for a sync read after async ones

    async def read_batch(self, names_only: bool = False) -> list[Any] | None:
        """The next batch: (name, type, inode) tuples, or the names alone, each
        name of the directory's kind (str or bytes); None at the end."""
        if self._fd < 0:
            return None
        batch: list[Any] | None = await self._loop._fs_readdir(self._fd, not self._bytes, names_only)
        return batch

    def __aiter__(self) -> EngineScandir:
        return self

    async def __anext__(self) -> DirEntry:
        for entry in self._batch:
            self._seen.add(entry.name)
            return entry
        while (raw := await self.read_batch()) is not None:
            if raw:
                self._batch = iter([DirEntry(self._dir, *item) for item in raw])
                return await self.__anext__()
        raise StopAsyncIteration

    async def __aenter__(self) -> EngineScandir:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        fd, self._fd = self._fd, -1
        if fd >= 0:
            # Shielded: a cancelled close might never run, and the number is
            # already forgotten here.
            await asyncio.shield(self._loop._fs_closedir(fd))

    def __iter__(self) -> Iterator[DirEntry]:
        for entry in self._batch:
            self._seen.add(entry.name)
            yield entry
        if self._fd < 0:
            return
        # Outside the loop: os reads the rest (it rewinds the shared
        # position, so names already handed out are skipped).
        with _os.scandir(self._fd) as it:
            for found in it:
                name = _os.fsencode(found.name) if self._bytes else found.name
                if name not in self._seen:
                    yield DirEntry(self._dir, name, _kind(found), found.inode())

    def __enter__(self) -> EngineScandir:
        return self

    def __exit__(self, typ: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        fd, self._fd = self._fd, -1
        if fd >= 0:
            _os.close(fd)

    def __del__(self) -> None:
        self.close()
