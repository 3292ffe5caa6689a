"""The raw operations a file object stands on: one system operation on one
descriptor each, no buffering, no file position of their own.

`RawOps` is the seam between the file objects and what carries out their
I/O: `LoopRawOps` runs them on the ombrel loop's ring, `ExecutorRawOps` as
blocking calls on any other loop's default executor. A backend hands back
awaitables whose cancellation stops waiting for the operation (and, where
it can, aborts it), and raises the OSErrors the system call would.
"""

from __future__ import annotations

import asyncio
import errno
import os
import threading
from collections.abc import Awaitable, Buffer, Callable
from typing import TYPE_CHECKING, Protocol

if TYPE_CHECKING:
    from .._loop_base import LoopBase

__all__ = ["ExecutorRawOps", "LoopRawOps", "RawOps"]


class RawOps(Protocol):
    """What the buffered layer asks of a backend; called on the loop thread."""

    def pread(self, fd: int, size: int, offset: int, /) -> Awaitable[bytes]:
        """Up to `size` bytes at `offset` (b"" at the end of the file)."""
        ...

    def read(self, fd: int, size: int, /) -> Awaitable[bytes]:
        """Up to `size` bytes in stream order, for descriptors that cannot seek."""
        ...

    def pwrite(self, fd: int, data: Buffer, offset: int, /) -> Awaitable[int]:
        """Write all of `data` at `offset`; its length."""
        ...

    def write(self, fd: int, data: Buffer, /) -> Awaitable[int]:
        """Write all of `data` in stream order; its length."""
        ...

    def size(self, fd: int, /) -> Awaitable[int]: ...

    def truncate(self, fd: int, size: int, /) -> Awaitable[None]: ...

    def fsync(self, fd: int, datasync: bool, /) -> Awaitable[None]: ...

    def close(self, fd: int, /) -> Awaitable[None]:
        """Close `fd`; callers shield it, so that a cancelled close still ends."""
        ...


class LoopRawOps:
    """The ombrel loop's native file operations. Each one but the stream
    read is the operation's own future, awaited directly: cancelling the
    awaiting task aborts the operation."""

    __slots__ = ("_loop", "pread")

    # The loop's own method: no Python frame between a file's pread, the
    # hot path, and the ring.
    pread: Callable[[int, int, int], Awaitable[bytes]]

    def __init__(self, loop: LoopBase) -> None:
        self._loop = loop
        self.pread = loop._file_pread

    async def read(self, fd: int, size: int, /) -> bytes:
        fut = self._loop._file_read(fd, size)
        try:
            data: bytes = await fut
        except BaseException:
            # Read, but the task was cancelled before it resumed: the bytes
            # are gone from the stream, so they go back to the engine, first
            # in line for the next read of this descriptor.
            if fut.done() and not fut.cancelled() and fut.exception() is None:
                self._loop._sock_unrecv(fd, fut.result())
            raise
        return data

    def pwrite(self, fd: int, data: Buffer, offset: int, /) -> Awaitable[int]:
        return self._loop._file_pwrite(fd, data, offset)

    def write(self, fd: int, data: Buffer, /) -> Awaitable[int]:
        return self._loop._file_write(fd, data)

    def size(self, fd: int, /) -> Awaitable[int]:
        return self._loop._file_size(fd)

    def truncate(self, fd: int, size: int, /) -> Awaitable[None]:
        return self._loop._file_truncate(fd, size)

    def fsync(self, fd: int, datasync: bool, /) -> Awaitable[None]:
        return self._loop._file_fsync(fd, datasync)

    def close(self, fd: int, /) -> Awaitable[None]:
        return self._loop._file_close(fd)


def _pwrite_all(fd: int, data: bytes, offset: int) -> int:
    # Worker thread.
    view = memoryview(data)
    while view:
        n = os.pwrite(fd, view, offset)
        view, offset = view[n:], offset + n
    return len(data)


def _write_all(fd: int, data: bytes) -> int:
    # Worker thread.
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]
    return len(data)


def _fsync(fd: int, datasync: bool) -> None:
    # Worker thread.
    (os.fdatasync if datasync else os.fsync)(fd)


class _InUse:
    """The worker calls on one descriptor, and its close. A call whose
    caller stopped waiting may still be queued or running (a write loop, a
    read blocked on a FIFO) when the file is closed: the number must not be
    given back to the system while one is, or that call would reach
    whatever file is opened next under it. So a call that starts after the
    close fails as on a closed descriptor, and the close itself happens when
    the last running call returns. Worker threads; the condition guards the
    three fields."""

    __slots__ = ("_calls", "_closing", "_cond")

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._calls = 0
        self._closing: int | None = None  # the descriptor, once closed

    def run[**P, T](self, fn: Callable[P, T], *args: P.args, **kwargs: P.kwargs) -> T:
        with self._cond:
            if self._closing is not None:
                raise OSError(errno.EBADF, os.strerror(errno.EBADF))
            self._calls += 1
        try:
            return fn(*args, **kwargs)
        finally:
            with self._cond:
                self._calls -= 1
                fd = self._closing if self._calls == 0 else None
            if fd is not None:
                os.close(fd)

    def close(self, fd: int) -> None:
        with self._cond:
            self._closing = fd
            if self._calls:
                return  # the last running call closes it
        os.close(fd)


class ExecutorRawOps:
    """The same operations as blocking calls on the loop's default executor,
    for a loop that is not ombrel's. A call that has begun in a worker runs
    to its end: cancelling the awaiting task only stops the wait.

    What is written is copied first: the caller may reuse its buffer as
    soon as it stops waiting, while the worker still writes from ours.
    """

    __slots__ = ("_left", "_loop", "_use")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self._use = _InUse()
        # Per descriptor, what a stream read whose caller stopped waiting
        # got (or will get): those bytes are gone from the stream, so the
        # next read returns them first. Loop thread only.
        self._left: dict[int, asyncio.Future[bytes] | bytes] = {}

    def pread(self, fd: int, size: int, offset: int, /) -> Awaitable[bytes]:
        return self._loop.run_in_executor(None, self._use.run, os.pread, fd, size, offset)

    async def read(self, fd: int, size: int, /) -> bytes:
        left = self._left.pop(fd, None)
        if left is None:
            left = self._loop.run_in_executor(None, self._use.run, os.read, fd, size)
        if isinstance(left, bytes):
            data = left
        else:
            try:
                # Shielded: the worker's read takes the bytes whatever
                # happens to this wait.
                data = await asyncio.shield(left)
            except asyncio.CancelledError:
                self._left[fd] = left
                raise
        if len(data) > size:
            self._left[fd], data = data[size:], data[:size]
        return data

    def pwrite(self, fd: int, data: Buffer, offset: int, /) -> Awaitable[int]:
        return self._loop.run_in_executor(None, self._use.run, _pwrite_all, fd, bytes(data), offset)

    def write(self, fd: int, data: Buffer, /) -> Awaitable[int]:
        return self._loop.run_in_executor(None, self._use.run, _write_all, fd, bytes(data))

    async def size(self, fd: int, /) -> int:
        st = await self._loop.run_in_executor(None, self._use.run, os.fstat, fd)
        return st.st_size

    def truncate(self, fd: int, size: int, /) -> Awaitable[None]:
        return self._loop.run_in_executor(None, self._use.run, os.ftruncate, fd, size)

    def fsync(self, fd: int, datasync: bool, /) -> Awaitable[None]:
        return self._loop.run_in_executor(None, self._use.run, _fsync, fd, datasync)

    def close(self, fd: int, /) -> Awaitable[None]:
        self._left.pop(fd, None)
        return self._loop.run_in_executor(None, self._use.close, fd)
